// Tests of the module subset: where LoadLibraryA looks for a module and in
// which order, GetProcAddress and FreeLibrary. Thread: the test's own.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "child_process.h"
#include "platform/win32.h"
#include "support/temp_dir.h"

namespace {

namespace fs = std::filesystem;

// Through void (*)(), the one function type every other converts to without a warning.
template <typename Function>
Function Lookup(HMODULE module, const char* name) {
    return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// The test programs live in <build>/bin and the probe module in <build>/lib,
// the layout of a built or installed tree.
TEST(LoadLibrary, FindsAWindowsNameInTheProgramsSiblingLibFolder) {
    HMODULE module = LoadLibraryA("TonegateProbe.dll");
    ASSERT_NE(module, nullptr);
    auto answer = Lookup<int (*)()>(module, "ProbeAnswer");
    auto path = Lookup<const char* (*)()>(module, "ProbeModulePath");
    ASSERT_NE(answer, nullptr);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_TRUE(fs::equivalent(path(), PROBE_MODULE)) << path();
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(LoadLibrary, TheDllSuffixMatchesInAnyCase) {
    HMODULE module = LoadLibraryA("TonegateProbe.DLL");
    ASSERT_NE(module, nullptr);
    EXPECT_NE(GetProcAddress(module, "ProbeAnswer"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(LoadLibrary, APlatformNameIsFoundAsGiven) {
    HMODULE module = LoadLibraryA("libTonegateProbe.so");
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(LoadLibrary, APathIsOpenedAsGivenWithoutRenaming) {
    HMODULE module = LoadLibraryA(PROBE_MODULE);
    ASSERT_NE(module, nullptr);
    EXPECT_TRUE(FreeLibrary(module));
    const std::string windowsNameInTheSameFolder = fs::path(PROBE_MODULE).parent_path().string() + "/TonegateProbe.dll";
    EXPECT_EQ(LoadLibraryA(windowsNameInTheSameFolder.c_str()), nullptr);
}

TEST(LoadLibrary, MissingModulesAndEmptyNamesGiveNull) {
    EXPECT_EQ(LoadLibraryA("TonegateNoSuchProbe.dll"), nullptr);
    EXPECT_EQ(LoadLibraryA("/nonexistent/libTonegateProbe.so"), nullptr);
    EXPECT_EQ(LoadLibraryA(""), nullptr);
    EXPECT_EQ(LoadLibraryA(nullptr), nullptr);
}

TEST(LoadLibrary, LoadingTwiceGivesTheSameModuleReleasedOnce) {
    HMODULE first = LoadLibraryA("TonegateProbe.dll");
    HMODULE second = LoadLibraryA("TonegateProbe.dll");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first, second);
    EXPECT_TRUE(FreeLibrary(second));
    EXPECT_NE(GetProcAddress(first, "ProbeAnswer"), nullptr) << "still loaded once";
    EXPECT_TRUE(FreeLibrary(first));
}

TEST(GetProcAddress, MissingNamesGiveNull) {
    HMODULE module = LoadLibraryA("TonegateProbe.dll");
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(GetProcAddress(module, "ProbeNoSuchFunction"), nullptr);
    EXPECT_EQ(GetProcAddress(module, ""), nullptr);
    EXPECT_EQ(GetProcAddress(module, nullptr), nullptr);
    EXPECT_EQ(GetProcAddress(nullptr, "ProbeAnswer"), nullptr);
    EXPECT_TRUE(FreeLibrary(module));
}

TEST(FreeLibrary, RefusesNull) { EXPECT_FALSE(FreeLibrary(nullptr)); }

// The search order, seen by a copy of the probe program placed in a fresh
// tree: bin/platform_probe, with module copies put where each case wants.
class ModuleSearchTest : public tonegate_test::FreshDirectoryTest {
protected:
    void SetUp() override {
        root_ = workingDirectory_.path();
        fs::create_directories(root_ / "bin");
        fs::create_directories(root_ / "lib");
        fs::create_directories(root_ / "elsewhere");
        fs::copy_file(PLATFORM_PROBE, root_ / "bin" / "platform_probe");
    }

    fs::path PlaceModule(const fs::path& relativePath) {
        fs::copy_file(PROBE_MODULE, root_ / relativePath);
        return root_ / relativePath;
    }

    // What the probe program loads for `name`, with LD_LIBRARY_PATH set to
    // `libraryPath` (or unset when empty): the module's file, or "none".
    std::string Loaded(const std::string& name, const std::string& libraryPath = "") {
        std::vector<std::string> environment;
        for (char** entry = environ; *entry != nullptr; ++entry)
            if (std::strncmp(*entry, "LD_LIBRARY_PATH=", 16) != 0) environment.emplace_back(*entry);
        if (!libraryPath.empty()) environment.push_back("LD_LIBRARY_PATH=" + libraryPath);
        auto child = tonegate_test::ChildProcess::WithPipes({(root_ / "bin" / "platform_probe").string(), "load", name},
                                                            &environment);
        child.ReadFor(3000);
        EXPECT_EQ(child.Wait(), 0) << child.Printed();
        std::string printed = child.Printed();
        while (!printed.empty() && printed.back() == '\n') printed.pop_back();
        return printed;
    }

    static bool Same(const std::string& loaded, const fs::path& expected) {
        return loaded != "none" && fs::exists(loaded) && fs::equivalent(loaded, expected);
    }

    fs::path root_;
};

TEST_F(ModuleSearchTest, TheProgramsOwnFolderComesBeforeTheLibFolder) {
    const fs::path beside = PlaceModule("bin/libTonegateProbe.so");
    PlaceModule("lib/libTonegateProbe.so");
    const std::string loaded = Loaded("TonegateProbe.dll");
    EXPECT_TRUE(Same(loaded, beside)) << loaded;
}

TEST_F(ModuleSearchTest, TheLibFolderComesBeforeTheLoadersSearch) {
    const fs::path sibling = PlaceModule("lib/libTonegateProbe.so");
    PlaceModule("elsewhere/libTonegateProbe.so");
    const std::string loaded = Loaded("TonegateProbe.dll", (root_ / "elsewhere").string());
    EXPECT_TRUE(Same(loaded, sibling)) << loaded;
}

TEST_F(ModuleSearchTest, TheNameAsGivenComesBeforeThePlatformName) {
    const fs::path asGiven = PlaceModule("bin/TonegateProbe.dll");
    PlaceModule("bin/libTonegateProbe.so");
    const std::string loaded = Loaded("TonegateProbe.dll");
    EXPECT_TRUE(Same(loaded, asGiven)) << loaded;
}

TEST_F(ModuleSearchTest, TheLoadersSearchIsTheLastResort) {
    const fs::path elsewhere = PlaceModule("elsewhere/libTonegateProbe.so");
    EXPECT_EQ(Loaded("TonegateProbe.dll"), "none");
    const std::string loaded = Loaded("TonegateProbe.dll", (root_ / "elsewhere").string());
    EXPECT_TRUE(Same(loaded, elsewhere)) << loaded;
}

TEST_F(ModuleSearchTest, ARelativePathIsTakenFromTheWorkingDirectory) {
    const fs::path inWorkingDirectory = PlaceModule("elsewhere/libTonegateProbe.so");
    PlaceModule("bin/libTonegateProbe.so");
    const std::string loaded = Loaded("./elsewhere/libTonegateProbe.so");
    EXPECT_TRUE(Same(loaded, inWorkingDirectory)) << loaded;
}

}  // namespace
