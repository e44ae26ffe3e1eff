// A COM test server: serves the classes of com_test_server.h through the
// shared driver plumbing. Built twice: with DllCanUnloadNow, and without it
// (COM_TEST_SERVER_WITHOUT_UNLOAD_QUERY) for a module that cannot say
// whether it is in use. Thread: the test's own.
#include "com_test_server.h"

#include <new>

#include "drivers/common/com_server.h"

namespace {

class Counter final : public tonegate_driver::ComObject<com_test::ICounter> {
public:
    explicit Counter(REFCLSID clsid) : ComObject(clsid) {}
    int32_t Next() override { return ++count_; }

private:
    int32_t count_ = 0;
};

IUnknown* CreateCounter(REFCLSID clsid) {
    if (clsid.Data2 == com_test::kFailingVariant) return nullptr;
    return new (std::nothrow) Counter(clsid);
}

}  // namespace

TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllGetClassObject(REFCLSID clsid, REFIID riid, void** object) {
    if (clsid.Data2 == com_test::kRefusedVariant) {
        if (object != nullptr) *object = nullptr;
        return CLASS_E_CLASSNOTAVAILABLE;
    }
    return tonegate_driver::GetClassObject(clsid, CreateCounter, riid, object);
}

#ifndef COM_TEST_SERVER_WITHOUT_UNLOAD_QUERY
TONEGATE_DRIVER_EXPORT HRESULT STDMETHODCALLTYPE DllCanUnloadNow() { return tonegate_driver::CanUnloadNow(); }
#endif
