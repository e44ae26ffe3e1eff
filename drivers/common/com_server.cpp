// The server-wide counts and the class factory of our driver modules.
// Thread: any (the host's threads may create and release objects).
#include "drivers/common/com_server.h"

#include <new>

namespace tonegate_driver {
namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

class ClassFactory final : public ComObject<IClassFactory> {
public:
    ClassFactory(REFCLSID clsid, CreateObjectFunction create)
        : ComObject(IID_IClassFactory), clsid_(clsid), create_(create) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** object) override {
        if (object == nullptr) return E_POINTER;
        *object = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        IUnknown* created = create_(clsid_);
        if (created == nullptr) return E_OUTOFMEMORY;
        // The new object's own reference is dropped once the caller holds
        // one, so an unknown interface id destroys it again.
        const HRESULT result = created->QueryInterface(riid, object);
        created->Release();
        return result;
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override {
        tonegate_driver::LockServer(lock != FALSE);
        return S_OK;
    }

private:
    const CLSID clsid_;
    const CreateObjectFunction create_;
};

}  // namespace

void ServerObjectCreated() { liveObjects.fetch_add(1, std::memory_order_relaxed); }
void ServerObjectDestroyed() { liveObjects.fetch_sub(1, std::memory_order_acq_rel); }
void LockServer(bool lock) {
    if (lock)
        serverLocks.fetch_add(1, std::memory_order_relaxed);
    else
        serverLocks.fetch_sub(1, std::memory_order_acq_rel);
}

HRESULT GetClassObject(REFCLSID clsid, CreateObjectFunction create, REFIID riid, void** object) {
    if (object == nullptr) return E_POINTER;
    *object = nullptr;
    ClassFactory* factory = new (std::nothrow) ClassFactory(clsid, create);
    if (factory == nullptr) return E_OUTOFMEMORY;
    const HRESULT result = factory->QueryInterface(riid, object);
    factory->Release();
    return result;
}

HRESULT GetClassObjectOfOnly(REFCLSID served, REFCLSID clsid, CreateObjectFunction create, REFIID riid,
                             void** object) {
    if (clsid != served) {
        if (object != nullptr) *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return GetClassObject(clsid, create, riid, object);
}

HRESULT CanUnloadNow() {
    const bool idle = liveObjects.load(std::memory_order_acquire) == 0 && serverLocks.load(std::memory_order_acquire) == 0;
    return idle ? S_OK : S_FALSE;
}

}  // namespace tonegate_driver
