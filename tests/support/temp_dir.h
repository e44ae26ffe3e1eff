// Test support: a fresh temporary folder that becomes the working directory
// for one test and is removed afterwards. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <random>

#include "support/windows_environment.h"
#endif

namespace tonegate_test {

// A new folder `<temp>/<prefix>XXXXXX` (the X's made unique) only this
// process uses.
inline std::filesystem::path MakeTemporaryFolder(const std::string& prefix) {
    namespace fs = std::filesystem;
#ifdef _WIN32
    // The C runtime has no mkdtemp: names are drawn until one is new.
    static std::mt19937_64 draw{std::random_device{}()};
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[7];
        for (int i = 0; i < 6; ++i) suffix[i] = "abcdefghijklmnopqrstuvwxyz0123456789"[draw() % 36];
        suffix[6] = '\0';
        const fs::path path = fs::temp_directory_path() / (prefix + suffix);
        if (fs::create_directory(path)) return path;
    }
    throw std::runtime_error("no new temporary folder");
#else
    std::string pattern = (fs::temp_directory_path() / (prefix + "XXXXXX")).string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    return pattern;
#endif
}

class ScopedWorkingDirectory {
public:
    ScopedWorkingDirectory() {
        namespace fs = std::filesystem;
        previous_ = fs::current_path();
        path_ = MakeTemporaryFolder("tonegate-test-");
        fs::current_path(path_);
    }
    ~ScopedWorkingDirectory() {
        namespace fs = std::filesystem;
        std::error_code ignored;
        fs::current_path(previous_, ignored);
        fs::remove_all(path_, ignored);
    }
    ScopedWorkingDirectory(const ScopedWorkingDirectory&) = delete;
    ScopedWorkingDirectory& operator=(const ScopedWorkingDirectory&) = delete;

    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path previous_;
    std::filesystem::path path_;
};

// A test whose working directory is a fresh temporary folder.
class FreshDirectoryTest : public ::testing::Test {
protected:
    ScopedWorkingDirectory workingDirectory_;
};

inline std::string ReadFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::filesystem::path& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace tonegate_test
