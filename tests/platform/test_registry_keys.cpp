// Tests of the registry calls the host makes, against whatever registry the
// platform has: on Windows the real one, elsewhere our .reg-file registry, so
// both answer the same lookups, value and name sizes and handle misuse alike.
// Each test enters its keys through a private registry that is gone after it.
// Thread: the test's own (one case runs several threads of its own).
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "registry_reading.h"
#include "support/scoped_registry.h"

namespace {

using tonegate_test::Key;
using tonegate_test::MachineValue;
using tonegate_test::QueryString;
using tonegate_test::SubkeyNames;

constexpr char kDrivers[] =
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\Tonegate WAV Sink]\r\n"
    "\"CLSID\"=\"{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\"\r\n"
    "\"Description\"=\"Tonegate WAV Sink\"\r\n"
    "\"Empty\"=\"\"\r\n"
    "\r\n"
    "[HKEY_CLASSES_ROOT\\CLSID\\{8a5b1c7e-3f2d-4e6a-9b0c-1d2e3f405162}\\InprocServer32]\r\n"
    "@=\"/opt/tonegate/lib/libtonegate_wavsink.so\"\r\n"
    "\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Classes\\CLSID\\{11111111-2222-3333-4444-555555555555}]\r\n"
    "@=\"Written under the machine's Classes\"\r\n";

// The keys a test reads, entered into a registry of its own.
class RegistryKeysTest : public ::testing::Test {
protected:
    void Enter(const std::string& sections) { registry_.AddRegText(sections); }

private:
    tonegate_test::ScopedRegistry registry_;
};

// ---- Opening and reading keys ----

TEST_F(RegistryKeysTest, ReadsADriverRegistrationAsTheDriverListDoes) {
    Enter(kDrivers);
    Key asio;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "software\\asio", asio.out()), ERROR_SUCCESS);
    char name[128];
    ASSERT_EQ(RegEnumKeyA(asio.get(), 0, name, sizeof name), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Tonegate WAV Sink");
    EXPECT_EQ(RegEnumKeyA(asio.get(), 1, name, sizeof name), ERROR_NO_MORE_ITEMS);

    Key driver;
    ASSERT_EQ(RegOpenKeyExA(asio.get(), name, 0, KEY_READ, driver.out()), ERROR_SUCCESS);
    char clsid[256];
    DWORD size = sizeof clsid;
    DWORD type = REG_NONE;
    ASSERT_EQ(RegQueryValueExA(driver.get(), "clsid", nullptr, &type, reinterpret_cast<LPBYTE>(clsid), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_STREQ(clsid, "{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}");
    EXPECT_EQ(size, sizeof "{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}");

    Key classes, server;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "clsid", classes.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExA(classes.get(), "{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\inprocserver32", 0, KEY_READ,
                            server.out()),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryString(server.get(), nullptr), "/opt/tonegate/lib/libtonegate_wavsink.so");
}

TEST_F(RegistryKeysTest, ClassesRootAndMachineClassesAreTheSameKeys) {
    Enter(kDrivers);
    EXPECT_EQ(MachineValue("SOFTWARE\\Classes\\CLSID\\{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\InprocServer32", ""),
              "/opt/tonegate/lib/libtonegate_wavsink.so");
    Key written;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}", written.out()),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryString(written.get(), ""), "Written under the machine's Classes");
    Key clsid;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", clsid.out()), ERROR_SUCCESS);
    // Each class once, wherever it was written (Windows lists its own classes too).
    const std::vector<std::string> names = SubkeyNames(clsid.get());
    for (const char* written : {"{8a5b1c7e-3f2d-4e6a-9b0c-1d2e3f405162}", "{11111111-2222-3333-4444-555555555555}"})
        EXPECT_EQ(std::count(names.begin(), names.end(), written), 1) << written;
}

TEST_F(RegistryKeysTest, MatchesKeyAndValueNamesWithoutRegardToCase) {
    Enter(kDrivers);
    for (const char* path : {"SOFTWARE\\ASIO\\Tonegate WAV Sink", "software\\asio\\tonegate wav sink",
                             "SoFtWaRe\\AsIo\\TONEGATE WAV SINK"}) {
        SCOPED_TRACE(path);
        for (const char* name : {"Description", "description", "DESCRIPTION"})
            EXPECT_EQ(MachineValue(path, name), "Tonegate WAV Sink");
    }
}

TEST_F(RegistryKeysTest, EnumeratesSubkeysSortedWithoutRegardToCaseInTheirStoredSpelling) {
    std::string sections;
    for (const char* name : {"gamma", "Beta", "alpha", "Delta\\Nested", "BETA", "a1"})
        sections += std::string("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\") + name + "]\n";
    Enter(sections);
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", key.out()), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(key.get()), (std::vector<std::string>{"a1", "alpha", "Beta", "Delta", "gamma"}));
}

TEST_F(RegistryKeysTest, DoubledAndTrailingSeparatorsCountOnceButALeadingOneIsRefused) {
    Enter(kDrivers);
    EXPECT_EQ(MachineValue("SOFTWARE\\ASIO\\Tonegate WAV Sink\\", "Description"), "Tonegate WAV Sink");
    EXPECT_EQ(MachineValue("SOFTWARE\\ASIO\\Tonegate WAV Sink\\\\", "Description"), "Tonegate WAV Sink");
    HKEY key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "\\SOFTWARE\\ASIO", &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "\\SOFTWARE", 0, KEY_READ, &key), ERROR_BAD_PATHNAME);
    EXPECT_EQ(MachineValue("SOFTWARE\\\\ASIO\\\\\\Tonegate WAV Sink", "Description"), "Tonegate WAV Sink");
}

TEST_F(RegistryKeysTest, AMissingKeyIsNotFoundAndLeavesNoHandle) {
    Enter(kDrivers);
    HKEY key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Missing", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink\\Deeper", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASI", &key), ERROR_FILE_NOT_FOUND);
}

// RegOpenKeyExA opens a second handle to the same key; RegOpenKeyA gives
// back the handle itself, so closing what it returned closes the key.
TEST_F(RegistryKeysTest, NoSubkeyOpensTheSameKeyAgainOrGivesBackItsHandle) {
    Enter(kDrivers);
    for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
        Key driver;
        ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink", driver.out()), ERROR_SUCCESS);
        HKEY again = nullptr;
        ASSERT_EQ(RegOpenKeyExA(driver.get(), empty, 0, KEY_READ, &again), ERROR_SUCCESS);
        EXPECT_NE(again, driver.get());
        EXPECT_EQ(QueryString(again, "Description"), "Tonegate WAV Sink");
        EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(driver.get(), "Description"), "Tonegate WAV Sink");

        HKEY same = nullptr;
        ASSERT_EQ(RegOpenKeyA(driver.get(), empty, &same), ERROR_SUCCESS);
        EXPECT_EQ(same, driver.get());

        for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CLASSES_ROOT}) {
            HKEY opened = nullptr;
            EXPECT_EQ(RegOpenKeyA(root, empty, &opened), ERROR_SUCCESS);
            EXPECT_EQ(opened, root);
            EXPECT_EQ(RegOpenKeyExA(root, empty, 0, KEY_READ, &opened), ERROR_SUCCESS);
            EXPECT_EQ(opened, root);
        }
    }
}

TEST_F(RegistryKeysTest, RefusesHandlesThatAreNotOpen) {
    Enter(kDrivers);
    HKEY closed = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", &closed), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(closed), ERROR_SUCCESS);
    int notAKey = 0;
    for (HKEY bad : {closed, static_cast<HKEY>(nullptr), reinterpret_cast<HKEY>(&notAKey)}) {
        char name[64];
        DWORD size = sizeof name;
        HKEY result;
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegEnumKeyA(bad, 0, name, sizeof name), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegQueryValueExA(bad, "x", nullptr, nullptr, reinterpret_cast<LPBYTE>(name), &size),
                  ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegOpenKeyA(bad, "x", &result), ERROR_INVALID_HANDLE);
    }
}

TEST_F(RegistryKeysTest, ClosingARootKeyDoesNothing) {
    Enter(kDrivers);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
    EXPECT_EQ(MachineValue("SOFTWARE\\ASIO\\Tonegate WAV Sink", "Description"), "Tonegate WAV Sink");
}

// ---- Name and value sizes ----

TEST_F(RegistryKeysTest, EnumerationNeedsRoomForTheNameAndItsTerminator) {
    Enter("[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\\Tonegate]\n");  // 8 characters
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", key.out()), ERROR_SUCCESS);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(key.get(), 0, name, 8), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyA(key.get(), 0, name, 0), ERROR_MORE_DATA);
    ASSERT_EQ(RegEnumKeyA(key.get(), 0, name, 9), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Tonegate");
    EXPECT_EQ(RegEnumKeyA(key.get(), 1, name, 1), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryKeysTest, ValueSizeCountsTheTerminator) {
    Enter(kDrivers);
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink", key.out()), ERROR_SUCCESS);
    constexpr DWORD kNeeded = sizeof "Tonegate WAV Sink";

    DWORD size = 0;
    DWORD type = REG_NONE;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Description", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(size, kNeeded);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));

    char data[64];
    size = kNeeded - 1;
    EXPECT_EQ(RegQueryValueExA(key.get(), "Description", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_MORE_DATA);
    EXPECT_EQ(size, kNeeded);

    size = kNeeded;
    ASSERT_EQ(RegQueryValueExA(key.get(), "Description", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, kNeeded);
    EXPECT_STREQ(data, "Tonegate WAV Sink");

    size = sizeof data;
    data[0] = 'x';
    ASSERT_EQ(RegQueryValueExA(key.get(), "Empty", nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(data[0], '\0');
}

TEST_F(RegistryKeysTest, MissingValuesAndDefaults) {
    Enter(kDrivers);
    Key driver;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink", driver.out()), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(driver.get(), "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // This key has named values but no default one.
    EXPECT_EQ(RegQueryValueExA(driver.get(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(driver.get(), "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

    Key server;
    ASSERT_EQ(
        RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\InprocServer32", server.out()),
        ERROR_SUCCESS);
    EXPECT_EQ(QueryString(server.get(), nullptr), "/opt/tonegate/lib/libtonegate_wavsink.so");
    EXPECT_EQ(QueryString(server.get(), ""), "/opt/tonegate/lib/libtonegate_wavsink.so");
}

// ---- Threads ----

TEST_F(RegistryKeysTest, ThreadsOpenReadAndCloseKeysAtTheSameTime) {
    Enter(kDrivers);
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (size_t t = 0; t < failures.size(); ++t) {
        threads.emplace_back([&failures, t] {
            for (int i = 0; i < 100; ++i)
                if (MachineValue("SOFTWARE\\ASIO\\Tonegate WAV Sink", "Description") != "Tonegate WAV Sink")
                    ++failures[t];
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(failures.size(), 0));
}

}  // namespace
