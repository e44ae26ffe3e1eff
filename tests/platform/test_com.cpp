// Tests of the COM subset: per-thread initialisation counts, the strict
// CLSID parser, and CoCreateInstance's way from the registry through the
// server module to an object, each failure on the way, and when server
// modules are unloaded. They run against Windows' own COM as against ours,
// with the same expectations. Thread: the test's own (and one helper thread).
#include <gtest/gtest.h>

#ifndef _WIN32
#include <dlfcn.h>
#endif

#include <cctype>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "com_test_server.h"
#include "platform/win32.h"
#include "support/scoped_registry.h"

namespace {

using com_test::ICounter;
using tonegate_test::ClsidOf;
using tonegate_test::ScopedRegistry;

// Whether the module at `path` is loaded in this process, without loading it.
bool IsLoaded(const char* path) {
#ifdef _WIN32
    // By its file name: the registered path may use '/', which Windows'
    // loader accepts but its list of loaded modules does not match.
    return GetModuleHandleA(std::filesystem::path(path).filename().string().c_str()) != nullptr;
#else
    void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return false;
    dlclose(module);
    return true;
#endif
}

// DllCanUnloadNow of the loaded server module at `path`.
HRESULT CanUnloadNow(const char* path) {
    using Query = HRESULT(STDMETHODCALLTYPE*)();
#ifdef _WIN32
    HMODULE module = GetModuleHandleA(std::filesystem::path(path).filename().string().c_str());
    if (module == nullptr) return E_FAIL;
    return reinterpret_cast<Query>(reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")))();
#else
    void* module = dlopen(path, RTLD_NOW | RTLD_NOLOAD);
    if (module == nullptr) return E_FAIL;
    const HRESULT result = reinterpret_cast<Query>(dlsym(module, "DllCanUnloadNow"))();
    dlclose(module);
    return result;
#endif
}

HRESULT Create(const char* clsidText, void** object, DWORD context = CLSCTX_INPROC_SERVER) {
    const CLSID clsid = ClsidOf(clsidText);
    return CoCreateInstance(clsid, nullptr, context, clsid, object);
}

// ---- CoInitialize / CoUninitialize ----

TEST(CoInitialize, CountsPerThread) {
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);

    HRESULT otherFirst = E_FAIL, otherCreate = E_FAIL;
    std::thread other([&] {
        void* object = &otherFirst;
        otherCreate = Create(com_test::kServedClass, &object);
        otherFirst = CoInitialize(nullptr);
        CoUninitialize();
    });
    other.join();
    EXPECT_EQ(otherCreate, CO_E_NOTINITIALIZED);
    EXPECT_EQ(otherFirst, S_OK);

    CoUninitialize();
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);  // still one level deep
    CoUninitialize();
    CoUninitialize();
    CoUninitialize();  // one too many: nothing happens
    EXPECT_EQ(CoInitialize(nullptr), S_OK);
    CoUninitialize();
}

// ---- CLSIDFromString ----

CLSID Parse(const OLECHAR* text, HRESULT expected) {
    CLSID clsid;
    std::memset(&clsid, 0xEE, sizeof clsid);
    EXPECT_EQ(CLSIDFromString(text, &clsid), expected);
    return clsid;
}

TEST(CLSIDFromString, ReadsTheFieldsAsNumbersAndTheTailAsBytes) {
    for (const OLECHAR* text :
         {OLESTR("{01234567-89AB-CDEF-0123-456789ABCDEF}"), OLESTR("{01234567-89ab-cdef-0123-456789abcdef}"),
          OLESTR("{01234567-89aB-CdEf-0123-456789AbCdEf}")}) {
        const CLSID clsid = Parse(text, S_OK);
        EXPECT_EQ(clsid.Data1, 0x01234567u);
        EXPECT_EQ(clsid.Data2, 0x89ABu);
        EXPECT_EQ(clsid.Data3, 0xCDEFu);
        const uint8_t tail[8] = {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF};
        EXPECT_EQ(std::memcmp(clsid.Data4, tail, sizeof tail), 0);
    }
    EXPECT_EQ(Parse(OLESTR("{00000000-0000-0000-C000-000000000046}"), S_OK), IID_IUnknown);
    EXPECT_EQ(Parse(OLESTR("{00000001-0000-0000-c000-000000000046}"), S_OK), IID_IClassFactory);
}

TEST(CLSIDFromString, RefusesAnythingButTheBracedForm) {
    const OLECHAR* wrong[] = {
        OLESTR(""),
        OLESTR("01234567-89AB-CDEF-0123-456789ABCDEF"),     // no braces
        OLESTR("{01234567-89AB-CDEF-0123-456789ABCDEF"),    // no closing brace
        OLESTR("01234567-89AB-CDEF-0123-456789ABCDEF}"),    // no opening brace
        OLESTR("(01234567-89AB-CDEF-0123-456789ABCDEF)"),   // other brackets
        OLESTR("{01234567-89AB-CDEF-0123-456789ABCDEF}x"),  // 39 characters
        OLESTR("{01234567-89AB-CDEF-0123-456789ABCDE}"),    // 37 characters
        OLESTR("{0123456-789AB-CDEF-0123-456789ABCDEF}"),   // hyphen a place early
        OLESTR("{01234567-89ABC-DEF-0123-456789ABCDEF}"),   // hyphen a place late
        OLESTR("{01234567-89AB-CDEF-0123456789ABCDEF}"),    // a hyphen missing
        OLESTR("{01234567-89AB-CDEF-01-23-456789ABCDEF}"),  // a hyphen in the tail
        OLESTR("{0123456G-89AB-CDEF-0123-456789ABCDEF}"),   // not hex
        OLESTR("{01234567-89AB-CDEF-0123-456789ABCDE }"),   // a blank
        OLESTR("{ 1234567-89AB-CDEF-0123-456789ABCDEF}"),
        OLESTR("{+1234567-89AB-CDEF-0123-456789ABCDEF}"),       // a sign is no digit
        OLESTR("{01234567-89AB-CDEF-0123-456789ABCD\uFF25F}"),  // a wide letter
    };
    for (const OLECHAR* text : wrong) {
        SCOPED_TRACE(std::string(text, text + std::char_traits<OLECHAR>::length(text)));
        Parse(text, CO_E_CLASSSTRING);
    }
    // The terminator ends the text even where more would follow.
    const OLECHAR cut[] = OLESTR("{01234567-89AB-CDEF-0123-456789AB\0CDEF}");
    Parse(cut, CO_E_CLASSSTRING);
}

TEST(CLSIDFromString, NullArguments) {
    EXPECT_EQ(CLSIDFromString(OLESTR("{01234567-89AB-CDEF-0123-456789ABCDEF}"), nullptr), E_INVALIDARG);
    EXPECT_EQ(Parse(nullptr, S_OK), CLSID{});  // as on Windows: the null class
}

// ---- CoCreateInstance ----

class CoCreateInstanceTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CoInitialize(nullptr), S_OK); }
    void TearDown() override {
        while (initialised_-- > 0) CoUninitialize();
    }
    int initialised_ = 1;
    ScopedRegistry registry_;
};

TEST_F(CoCreateInstanceTest, MakesAnObjectOfARegisteredClass) {
    // Registered in lower case: the class key is looked up without regard to case.
    std::string lower = com_test::kServedClass;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    registry_.AddClass(lower, COM_TEST_SERVER);

    void* object = nullptr;
    ASSERT_EQ(Create(com_test::kServedClass, &object), S_OK);
    auto* counter = static_cast<ICounter*>(object);
    EXPECT_EQ(counter->Next(), 1);
    EXPECT_EQ(counter->Next(), 2);

    void* unknown = nullptr;
    ASSERT_EQ(counter->QueryInterface(IID_IUnknown, &unknown), S_OK);
    EXPECT_EQ(unknown, object);
    static_cast<IUnknown*>(unknown)->Release();
    void* factory = &unknown;
    EXPECT_EQ(counter->QueryInterface(IID_IClassFactory, &factory), E_NOINTERFACE);
    EXPECT_EQ(factory, nullptr);
    EXPECT_EQ(counter->Release(), 0u);
}

TEST_F(CoCreateInstanceTest, FailsOnEveryStepWithItsOwnError) {
    registry_.AddClass(com_test::kServedClass, COM_TEST_SERVER);
    registry_.AddClass(com_test::kRefusedClass, COM_TEST_SERVER);
    registry_.AddClass(com_test::kFailingClass, COM_TEST_SERVER);

    const CLSID served = ClsidOf(com_test::kServedClass);
    EXPECT_EQ(CoCreateInstance(served, nullptr, CLSCTX_INPROC_SERVER, served, nullptr), E_POINTER);

    const struct {
        const char* clsid;
        DWORD context;
        HRESULT expected;
    } cases[] = {
        {"{5E0C7A10-0009-4F00-8A00-00000000C0DE}", CLSCTX_INPROC_SERVER, REGDB_E_CLASSNOTREG},
        {com_test::kServedClass, 0x4 /* a local server only */, REGDB_E_CLASSNOTREG},
        {com_test::kRefusedClass, CLSCTX_INPROC_SERVER, CLASS_E_CLASSNOTAVAILABLE},
        {com_test::kFailingClass, CLSCTX_INPROC_SERVER, E_OUTOFMEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.clsid);
        void* object = &registry_;
        EXPECT_EQ(Create(c.clsid, &object, c.context), c.expected);
        EXPECT_EQ(object, nullptr);
    }

    // An interface the class does not have: the object made for it is gone again.
    void* object = &registry_;
    EXPECT_EQ(CoCreateInstance(served, nullptr, CLSCTX_INPROC_SERVER, IID_IClassFactory, &object), E_NOINTERFACE);
    EXPECT_EQ(object, nullptr);
    EXPECT_EQ(CanUnloadNow(COM_TEST_SERVER), S_OK);

    CoUninitialize();
    initialised_ = 0;
    object = &registry_;
    EXPECT_EQ(Create(com_test::kServedClass, &object), CO_E_NOTINITIALIZED);
    EXPECT_EQ(object, nullptr);
}

// Wine answers these two with codes of its own (E_ACCESSDENIED for a module
// it cannot load, CO_E_DLLNOTFOUND for one without DllGetClassObject); the
// codes here are Windows' and ours.
TEST_F(CoCreateInstanceTest, ServerModulesThatCannotServeFailWithTheirOwnError) {
    registry_.AddClass("{5E0C7A10-0003-4F00-8A00-00000000C0DE}", registry_.folder().string() + "/no-such-server.so");
    registry_.AddClass("{5E0C7A10-0004-4F00-8A00-00000000C0DE}", COM_NO_ENTRY_MODULE);
    for (const auto& [clsid, expected] : {std::pair{"{5E0C7A10-0003-4F00-8A00-00000000C0DE}", CO_E_DLLNOTFOUND},
                                          std::pair{"{5E0C7A10-0004-4F00-8A00-00000000C0DE}", CO_E_ERRORINDLL}}) {
        SCOPED_TRACE(clsid);
        void* object = &registry_;
        EXPECT_EQ(Create(clsid, &object), expected);
        EXPECT_EQ(object, nullptr);
    }
}

TEST_F(CoCreateInstanceTest, KeepsAServerLoadedUntilTheThreadsLastUninitialize) {
    registry_.AddClass(com_test::kServedClass, COM_TEST_SERVER);
    EXPECT_EQ(CoInitialize(nullptr), S_FALSE);
    ++initialised_;
    void* object = nullptr;
    ASSERT_EQ(Create(com_test::kServedClass, &object), S_OK);
    static_cast<ICounter*>(object)->Release();
    EXPECT_TRUE(IsLoaded(COM_TEST_SERVER));

    CoUninitialize();
    --initialised_;
    EXPECT_TRUE(IsLoaded(COM_TEST_SERVER));
    CoUninitialize();
    --initialised_;
    EXPECT_FALSE(IsLoaded(COM_TEST_SERVER));
}

TEST_F(CoCreateInstanceTest, KeepsAServerLoadedWhileOneOfItsObjectsIsHeld) {
    registry_.AddClass(com_test::kServedClass, COM_TEST_SERVER);
    void* object = nullptr;
    ASSERT_EQ(Create(com_test::kServedClass, &object), S_OK);
    CoUninitialize();
    initialised_ = 0;
    ASSERT_TRUE(IsLoaded(COM_TEST_SERVER));
    auto* counter = static_cast<ICounter*>(object);
    EXPECT_EQ(counter->Next(), 1);  // its code is still there
    EXPECT_EQ(counter->Release(), 0u);
}

TEST_F(CoCreateInstanceTest, KeepsAServerThatCannotSayWhetherItIsInUseLoaded) {
    registry_.AddClass(com_test::kServedClass, COM_TEST_SERVER_WITHOUT_UNLOAD_QUERY);
    void* object = nullptr;
    ASSERT_EQ(Create(com_test::kServedClass, &object), S_OK);
    static_cast<ICounter*>(object)->Release();
    ASSERT_TRUE(IsLoaded(COM_TEST_SERVER_WITHOUT_UNLOAD_QUERY));
    CoUninitialize();
    initialised_ = 0;
    EXPECT_TRUE(IsLoaded(COM_TEST_SERVER_WITHOUT_UNLOAD_QUERY));
}

TEST_F(CoCreateInstanceTest, LoadsAServerOnceForManyObjects) {
    registry_.AddClass(com_test::kServedClass, COM_TEST_SERVER);
    void* first = nullptr;
    void* second = nullptr;
    ASSERT_EQ(Create(com_test::kServedClass, &first), S_OK);
    ASSERT_EQ(Create(com_test::kServedClass, &second), S_OK);
    EXPECT_NE(first, second);
    static_cast<ICounter*>(first)->Release();
    static_cast<ICounter*>(second)->Release();
    CoUninitialize();
    initialised_ = 0;
    EXPECT_FALSE(IsLoaded(COM_TEST_SERVER));  // one load reference per thread, given back once
}

}  // namespace
