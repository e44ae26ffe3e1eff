// COM plumbing shared by our in-process driver servers: reference-counted
// objects, the class factory, and the bodies of the two exports every server
// module has (DllGetClassObject, DllCanUnloadNow), whole for a module that
// serves one class. Thread: any; counts are atomic, since a host may hand
// interfaces between its threads.
#pragma once

#include <atomic>
#include <new>

#include "platform/win32.h"

#ifdef _WIN32
#define TONEGATE_DRIVER_EXPORT extern "C" __declspec(dllexport)
#else
#define TONEGATE_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))
#endif

namespace tonegate_driver {

// Live objects (factories included) and server locks of this module; the
// module may be unloaded only when both are zero.
void ServerObjectCreated();
void ServerObjectDestroyed();
void LockServer(bool lock);

// A COM object implementing `Interface` (which derives from IUnknown), found
// by IUnknown's id and by `interfaceId`: for a driver that is its class id,
// as an ASIO driver's interface id is. It starts with one reference, deletes
// itself when the last is released, and counts as a live object meanwhile.
template <class Interface>
class ComObject : public Interface {
public:
    explicit ComObject(REFIID interfaceId) : interfaceId_(interfaceId) { ServerObjectCreated(); }
    virtual ~ComObject() { ServerObjectDestroyed(); }
    ComObject(const ComObject&) = delete;
    ComObject& operator=(const ComObject&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        if (riid != IID_IUnknown && riid != interfaceId_) {
            *object = nullptr;
            return E_NOINTERFACE;
        }
        *object = static_cast<Interface*>(this);
        this->AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return references_.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG remaining = references_.fetch_sub(1, std::memory_order_acq_rel) - 1;
        if (remaining == 0) delete this;
        return remaining;
    }

private:
    const IID interfaceId_;
    std::atomic<ULONG> references_{1};
};

// Makes a new object of the class with one reference, or null when memory
// ran out.
typedef IUnknown* (*CreateObjectFunction)(REFCLSID clsid);

// The body of DllGetClassObject for a class the module serves: hands out a
// class factory that makes objects with `create`. The caller decides which
// class ids it serves (CLASS_E_CLASSNOTAVAILABLE for the others).
HRESULT GetClassObject(REFCLSID clsid, CreateObjectFunction create, REFIID riid, void** object);

// The body of DllGetClassObject for a module that serves the one class
// `served`: CLASS_E_CLASSNOTAVAILABLE for any other.
HRESULT GetClassObjectOfOnly(REFCLSID served, REFCLSID clsid, CreateObjectFunction create, REFIID riid,
                             void** object);

// The body of DllCanUnloadNow: S_OK when no object is alive and the server
// is not locked, S_FALSE otherwise.
HRESULT CanUnloadNow();

// A CreateObjectFunction for a class whose objects are default-made `Object`s.
template <class Object>
IUnknown* NewObject(REFCLSID /*clsid*/) {
    return new (std::nothrow) Object();
}

}  // namespace tonegate_driver

// Defines both exports of a module that serves the one class `classId`, each
// object of it a new `Object`: a driver's file ends with
//   TONEGATE_SINGLE_CLASS_SERVER(tonegate_driver::kDriverClassId, its card class)
#define TONEGATE_SINGLE_CLASS_SERVER(classId, Object)                                                             \
    TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) { \
        return tonegate_driver::GetClassObjectOfOnly(classId, clsid, tonegate_driver::NewObject<Object>, riid,    \
                                                     object);                                                    \
    }                                                                                                            \
    TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return tonegate_driver::CanUnloadNow(); }
