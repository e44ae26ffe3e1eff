// Tests of the POSIX registry functions over .reg files: lookups, value and
// name sizes, handles and their snapshots, and where the files are found.
// Thread: the test's own (one case runs several threads of its own).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using tonegate_test::WriteFile;
using namespace std::string_literals;

namespace {

// Sets or unsets one environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char* name, const std::optional<std::string>& value) : name_(name) {
        if (const char* old = std::getenv(name)) previous_ = old;
        if (value)
            setenv(name, value->c_str(), 1);
        else
            unsetenv(name);
    }
    ~ScopedEnvironment() {
        if (previous_)
            setenv(name_, previous_->c_str(), 1);
        else
            unsetenv(name_);
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    const char* name_;
    std::optional<std::string> previous_;
};

// Closes a key at the end of a scope.
class Key {
public:
    Key() = default;
    ~Key() {
        if (handle_ != nullptr) RegCloseKey(handle_);
    }
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    PHKEY out() { return &handle_; }
    HKEY get() const { return handle_; }

private:
    HKEY handle_ = nullptr;
};

constexpr char kDrivers[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
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

// A test in a fresh folder whose registry is exactly the files it names.
class RegistryTest : public tonegate_test::FreshDirectoryTest {
protected:
    void UseRegistry(const std::string& list) { registry_.emplace("TONEGATE_REGISTRY", list); }

    // Writes `content` to `name` in the working folder and returns its full path.
    std::string Write(const std::string& name, const std::string& content) {
        const fs::path path = workingDirectory_.path() / name;
        fs::create_directories(path.parent_path());
        WriteFile(path, content);
        return path.string();
    }

    std::string UseOnly(const std::string& content) {
        const std::string path = Write("only.reg", content);
        UseRegistry(path);
        return path;
    }

    std::optional<ScopedEnvironment> registry_;
};

std::optional<std::string> QueryString(HKEY key, const char* valueName) {
    char data[512];
    DWORD size = sizeof data;
    if (RegQueryValueExA(key, valueName, nullptr, nullptr, reinterpret_cast<LPBYTE>(data), &size) != ERROR_SUCCESS)
        return std::nullopt;
    return std::string(data, size - 1);
}

// The value `valueName` of HKLM\<path>, read through a freshly opened key.
std::optional<std::string> MachineValue(const char* path, const char* valueName) {
    Key key;
    if (RegOpenKeyA(HKEY_LOCAL_MACHINE, path, key.out()) != ERROR_SUCCESS) return std::nullopt;
    return QueryString(key.get(), valueName);
}

std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    char name[256];
    for (DWORD index = 0; RegEnumKeyA(key, index, name, sizeof name) == ERROR_SUCCESS; ++index)
        names.push_back(name);
    return names;
}

// ---- Opening and reading keys ----

TEST_F(RegistryTest, ReadsADriverRegistrationAsTheDriverListDoes) {
    UseOnly(kDrivers);
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

TEST_F(RegistryTest, ClassesRootAndMachineClassesAreTheSameKeys) {
    UseOnly(kDrivers);
    EXPECT_EQ(MachineValue("SOFTWARE\\Classes\\CLSID\\{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\InprocServer32", ""),
              "/opt/tonegate/lib/libtonegate_wavsink.so");
    Key written;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\{11111111-2222-3333-4444-555555555555}", written.out()),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryString(written.get(), ""), "Written under the machine's Classes");
    Key clsid;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", clsid.out()), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(clsid.get()).size(), 2u);
}

TEST_F(RegistryTest, MatchesKeyAndValueNamesWithoutRegardToCase) {
    UseOnly(kDrivers);
    for (const char* path : {"SOFTWARE\\ASIO\\Tonegate WAV Sink", "software\\asio\\tonegate wav sink",
                             "SoFtWaRe\\AsIo\\TONEGATE WAV SINK"}) {
        SCOPED_TRACE(path);
        for (const char* name : {"Description", "description", "DESCRIPTION"})
            EXPECT_EQ(MachineValue(path, name), "Tonegate WAV Sink");
    }
}

TEST_F(RegistryTest, EnumeratesSubkeysSortedWithoutRegardToCaseInTheirStoredSpelling) {
    UseOnly("[HKLM\\SOFTWARE\\T\\gamma]\n[HKLM\\SOFTWARE\\T\\Beta]\n[HKLM\\SOFTWARE\\T\\alpha]\n"
            "[HKLM\\SOFTWARE\\T\\Delta\\Nested]\n[HKLM\\SOFTWARE\\T\\BETA]\n[HKLM\\SOFTWARE\\T\\a1]\n");
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", key.out()), ERROR_SUCCESS);
    EXPECT_EQ(SubkeyNames(key.get()), (std::vector<std::string>{"a1", "alpha", "Beta", "Delta", "gamma"}));
}

TEST_F(RegistryTest, OpensWithLeadingAndTrailingSeparators) {
    UseOnly(kDrivers);
    EXPECT_EQ(MachineValue("SOFTWARE\\ASIO\\Tonegate WAV Sink\\", "Description"), "Tonegate WAV Sink");
    EXPECT_EQ(MachineValue("\\SOFTWARE\\ASIO\\Tonegate WAV Sink", "Description"), "Tonegate WAV Sink");
}

TEST_F(RegistryTest, AMissingKeyIsNotFoundAndLeavesNoHandle) {
    UseOnly(kDrivers);
    HKEY key = reinterpret_cast<HKEY>(static_cast<uintptr_t>(0x1234));
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Missing", &key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(key, nullptr);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink\\Deeper", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASI", &key), ERROR_FILE_NOT_FOUND);
}

TEST_F(RegistryTest, AnEmptySubkeyGivesASecondHandleToTheSameKey) {
    UseOnly(kDrivers);
    Key driver;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink", driver.out()), ERROR_SUCCESS);
    for (const char* empty : {static_cast<const char*>(nullptr), ""}) {
        HKEY again = nullptr;
        ASSERT_EQ(RegOpenKeyA(driver.get(), empty, &again), ERROR_SUCCESS);
        EXPECT_NE(again, driver.get());
        EXPECT_EQ(QueryString(again, "Description"), "Tonegate WAV Sink");
        EXPECT_EQ(RegCloseKey(again), ERROR_SUCCESS);
        EXPECT_EQ(QueryString(driver.get(), "Description"), "Tonegate WAV Sink");
    }
}

TEST_F(RegistryTest, RefusesHandlesThatAreNotOpen) {
    UseOnly(kDrivers);
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

TEST_F(RegistryTest, ClosingARootKeyDoesNothing) {
    UseOnly(kDrivers);
    EXPECT_EQ(RegCloseKey(HKEY_LOCAL_MACHINE), ERROR_SUCCESS);
    EXPECT_EQ(RegCloseKey(HKEY_CLASSES_ROOT), ERROR_SUCCESS);
    EXPECT_EQ(MachineValue("SOFTWARE\\ASIO\\Tonegate WAV Sink", "Description"), "Tonegate WAV Sink");
}

// ---- Name and value sizes ----

TEST_F(RegistryTest, EnumerationNeedsRoomForTheNameAndItsTerminator) {
    UseOnly("[HKLM\\SOFTWARE\\T\\Tonegate]\n");  // 8 characters
    Key key;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", key.out()), ERROR_SUCCESS);
    char name[16];
    EXPECT_EQ(RegEnumKeyA(key.get(), 0, name, 8), ERROR_MORE_DATA);
    EXPECT_EQ(RegEnumKeyA(key.get(), 0, name, 0), ERROR_MORE_DATA);
    ASSERT_EQ(RegEnumKeyA(key.get(), 0, name, 9), ERROR_SUCCESS);
    EXPECT_STREQ(name, "Tonegate");
    EXPECT_EQ(RegEnumKeyA(key.get(), 1, name, 1), ERROR_NO_MORE_ITEMS);
}

TEST_F(RegistryTest, ValueSizeCountsTheTerminator) {
    UseOnly(kDrivers);
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

TEST_F(RegistryTest, MissingValuesAndDefaults) {
    UseOnly(kDrivers);
    Key driver;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\Tonegate WAV Sink", driver.out()), ERROR_SUCCESS);
    DWORD size = 0;
    EXPECT_EQ(RegQueryValueExA(driver.get(), "Missing", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    // This key has named values but no default one.
    EXPECT_EQ(RegQueryValueExA(driver.get(), nullptr, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(driver.get(), "", nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND);

    Key server;
    ASSERT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID\\{8A5B1C7E-3F2D-4E6A-9B0C-1D2E3F405162}\\InprocServer32",
                          server.out()),
              ERROR_SUCCESS);
    EXPECT_EQ(QueryString(server.get(), nullptr), "/opt/tonegate/lib/libtonegate_wavsink.so");
    EXPECT_EQ(QueryString(server.get(), ""), "/opt/tonegate/lib/libtonegate_wavsink.so");
}

// ---- Which files, in which order ----

TEST_F(RegistryTest, ALaterFileOverridesAnEarlierOne) {
    const std::string first = Write("first.reg", "[HKLM\\SOFTWARE\\T]\n\"v\"=\"first\"\n\"onlyFirst\"=\"1\"\n");
    const std::string second = Write("second.reg", "[HKLM\\SOFTWARE\\T]\n\"V\"=\"second\"\n");
    UseRegistry(first + ":" + second);
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), "second");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "onlyFirst"), "1");
    UseRegistry(second + ":" + first);
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), "first");
}

TEST_F(RegistryTest, ReadsAFoldersRegFilesInNameOrder) {
    // Name order is byte order: "10" sorts before "2".
    Write("reg.d/2-middle.reg", "[HKLM\\SOFTWARE\\T]\n\"v\"=\"2\"\n\"fromMiddle\"=\"yes\"\n");
    Write("reg.d/b-last.reg", "[HKLM\\SOFTWARE\\T]\n\"v\"=\"b\"\n");
    Write("reg.d/10-first.reg", "[HKLM\\SOFTWARE\\T]\n\"v\"=\"10\"\n\"fromMiddle\"=\"no\"\n");
    Write("reg.d/z-not-a-reg-file.txt", "[HKLM\\SOFTWARE\\T]\n\"v\"=\"txt\"\n");
    UseRegistry((workingDirectory_.path() / "reg.d").string());
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), "b");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "fromMiddle"), "yes");
}

TEST_F(RegistryTest, TheListMixesFilesAndFoldersAndSkipsWhatIsMissing) {
    Write("reg.d/a.reg", "[HKLM\\SOFTWARE\\T]\n\"folder\"=\"yes\"\n\"v\"=\"folder\"\n");
    const std::string file = Write("extra.reg", "[HKLM\\SOFTWARE\\T]\n\"v\"=\"file\"\n");
    const std::string folder = (workingDirectory_.path() / "reg.d").string();
    UseRegistry("::" + folder + ":" + (workingDirectory_.path() / "missing.reg").string() + "::" + file + ":");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "folder"), "yes");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), "file");
}

TEST_F(RegistryTest, AnEmptyListMeansAnEmptyRegistry) {
    UseRegistry("");
    Key key;
    EXPECT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO", key.out()), ERROR_FILE_NOT_FOUND);
    Key clsid;
    EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, "CLSID", clsid.out()), ERROR_FILE_NOT_FOUND);
    Key classes;
    EXPECT_EQ(RegOpenKeyA(HKEY_CLASSES_ROOT, nullptr, classes.out()), ERROR_SUCCESS);
}

// Without TONEGATE_REGISTRY: the build tree's registry.d beside the program's
// bin folder, then the system's, then the user's, a later one overriding.
TEST_F(RegistryTest, DefaultSearchPathStartsBesideTheBinaryAndEndsWithTheUser) {
    const char* buildDir = std::getenv("TONEGATE_BUILD_DIR");
    if (buildDir == nullptr) GTEST_SKIP() << "TONEGATE_BUILD_DIR is set when run by CTest";
    registry_.emplace("TONEGATE_REGISTRY", std::nullopt);

    const std::string key = "SOFTWARE\\Tonegate registry test " + std::to_string(getpid());
    const fs::path beside =
        fs::path(buildDir) / "etc/tonegate/registry.d" / ("zz-registry-test-" + std::to_string(getpid()) + ".reg");
    WriteFile(beside, "[HKLM\\" + key + "]\n\"v\"=\"build\"\n\"onlyBuild\"=\"yes\"\n");
    struct RemoveAtEnd {
        fs::path path;
        ~RemoveAtEnd() { fs::remove(path); }
    } removeBeside{beside};

    {
        const std::string userConfig = (workingDirectory_.path() / "config").string();
        ScopedEnvironment xdg("XDG_CONFIG_HOME", userConfig);
        Write("config/tonegate/registry.d/user.reg", "[HKLM\\" + key + "]\n\"v\"=\"user\"\n");
        EXPECT_EQ(MachineValue(key.c_str(), "onlyBuild"), "yes");
        EXPECT_EQ(MachineValue(key.c_str(), "v"), "user");
    }
    {
        ScopedEnvironment xdg("XDG_CONFIG_HOME", std::nullopt);
        ScopedEnvironment home("HOME", (workingDirectory_.path() / "home").string());
        Write("home/.config/tonegate/registry.d/home.reg", "[HKLM\\" + key + "]\n\"v\"=\"home\"\n");
        EXPECT_EQ(MachineValue(key.c_str(), "v"), "home");
    }
}

// ---- Snapshots ----

TEST_F(RegistryTest, AChangeIsSeenAtTheNextRootOpenWhileOldHandlesKeepTheirSnapshot) {
    const std::string path = UseOnly("[HKLM\\SOFTWARE\\T\\Old]\n[HKLM\\SOFTWARE\\T]\n\"v\"=\"before\"\n");
    Key old;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", old.out()), ERROR_SUCCESS);

    WriteFile(path, "[HKLM\\SOFTWARE\\T\\New]\n[HKLM\\SOFTWARE\\T]\n\"v\"=\"after\"\n");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), "after");
    EXPECT_EQ(QueryString(old.get(), "v"), "before");
    EXPECT_EQ(SubkeyNames(old.get()), std::vector<std::string>{"Old"});
    Key child;
    EXPECT_EQ(RegOpenKeyA(old.get(), "Old", child.out()), ERROR_SUCCESS);

    fs::remove(path);
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), std::nullopt);
    EXPECT_EQ(QueryString(old.get(), "v"), "before");
    EXPECT_EQ(SubkeyNames(child.get()), std::vector<std::string>{});
}

TEST_F(RegistryTest, AChildHandleOutlivesItsParentsSnapshot) {
    const std::string path = UseOnly("[HKLM\\SOFTWARE\\T\\Child]\n\"v\"=\"kept\"\n");
    HKEY parent = nullptr;
    ASSERT_EQ(RegOpenKeyA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", &parent), ERROR_SUCCESS);
    Key child;
    ASSERT_EQ(RegOpenKeyA(parent, "Child", child.out()), ERROR_SUCCESS);
    ASSERT_EQ(RegCloseKey(parent), ERROR_SUCCESS);
    fs::remove(path);
    EXPECT_EQ(QueryString(child.get(), "v"), "kept");
}

// ---- Broken files ----

TEST_F(RegistryTest, BrokenAndUnreadableFilesNeverStopTheOthers) {
    Write("reg.d/a-good.reg", "[HKLM\\SOFTWARE\\T]\n\"a\"=\"read\"\n");
    Write("reg.d/b-junk.reg", "\xFF\x00[\x01\"\\\n\x00\x00[HKLM\\SOFTWARE\\T\n\"a\"=\"un"s);
    Write("reg.d/c-unreadable.reg", "[HKLM\\SOFTWARE\\T]\n\"c\"=\"maybe\"\n");
    chmod((workingDirectory_.path() / "reg.d/c-unreadable.reg").c_str(), 0);
    fs::create_directory(workingDirectory_.path() / "reg.d/d-folder.reg");
    fs::create_symlink(workingDirectory_.path() / "nowhere", workingDirectory_.path() / "reg.d/e-dangling.reg");
    ASSERT_EQ(mkfifo((workingDirectory_.path() / "reg.d/f-fifo.reg").c_str(), 0600), 0);
    Write("reg.d/g-good.reg", "[HKLM\\SOFTWARE\\T]\n\"g\"=\"read\"\n");
    UseRegistry((workingDirectory_.path() / "reg.d").string() + ":" +
                (workingDirectory_.path() / "reg.d/f-fifo.reg").string());
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "a"), "read");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "g"), "read");
}

// ---- Threads ----

TEST_F(RegistryTest, ThreadsOpenReadAndCloseKeysAtTheSameTime) {
    UseOnly(kDrivers);
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
