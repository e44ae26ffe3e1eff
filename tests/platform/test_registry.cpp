// Tests of the POSIX registry over .reg files: where the files are found, in
// which order they override each other, the snapshot an open handle keeps,
// and broken files. (The lookups themselves are tested against every
// platform's registry in test_registry_keys.cpp.) Thread: the test's own.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/win32.h"
#include "registry_reading.h"
#include "support/temp_dir.h"

namespace fs = std::filesystem;
using tonegate_test::WriteFile;
using namespace std::string_literals;
using tonegate_test::Key;
using tonegate_test::MachineValue;
using tonegate_test::QueryString;
using tonegate_test::SubkeyNames;

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

// The kept tree is read again for every kind of change: a folder that
// appears, a file added to it, a file changed through a symbolic link, a
// file replaced by another renamed over it.
TEST_F(RegistryTest, EveryKindOfChangeIsSeenAtTheNextRootOpen) {
    const fs::path folder = workingDirectory_.path() / "later/reg.d";
    UseRegistry(folder.string());
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "a"), std::nullopt);
    Write("later/reg.d/a.reg", "[HKLM\\SOFTWARE\\T]\n\"a\"=\"1\"\n");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "a"), "1");
    const std::string target = Write("elsewhere/b.reg", "[HKLM\\SOFTWARE\\T]\n\"b\"=\"1\"\n");
    fs::create_symlink(target, folder / "b.reg");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "b"), "1");
    WriteFile(target, "[HKLM\\SOFTWARE\\T]\n\"b\"=\"2\"\n");
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "b"), "2");
    UseRegistry(target);
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "b"), "2");
    fs::rename(Write("elsewhere/c.reg", "[HKLM\\SOFTWARE\\T]\n\"b\"=\"3\"\n"), target);
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "b"), "3");
}

// ---- Broken files ----

// Up to 1 MiB is read; a bigger file is left out with a line on standard
// error, once as long as it stays the same.
TEST_F(RegistryTest, AFileOverOneMebibyteIsLeftOutAndReportedOnce) {
    std::string text = "[HKLM\\SOFTWARE\\T]\n\"v\"=\"read\"\n";
    text.resize(1 << 20, ';');
    const std::string path = UseOnly(text);
    EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), "read");
    WriteFile(path, text + ";");
    testing::internal::CaptureStderr();
    for (int open = 0; open < 3; ++open) EXPECT_EQ(MachineValue("SOFTWARE\\T", "v"), std::nullopt);
    const std::string reported = testing::internal::GetCapturedStderr();
    EXPECT_NE(reported.find(path), std::string::npos) << reported;
    EXPECT_EQ(reported.find(path), reported.rfind(path)) << reported;
}

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

}  // namespace
