// Test support: a private registry for one test. It writes .reg files into a
// fresh folder and points TONEGATE_REGISTRY at it, so COM and the driver list
// see only the classes and drivers the test registers. Thread: the test's own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace tonegate_test {

// "{...}" text as a CLSID, through the platform's own parser; all zeros when
// it does not parse.
inline CLSID ClsidOf(const std::string& text) {
    std::u16string wide(text.begin(), text.end());
    CLSID clsid{};
    CLSIDFromString(wide.c_str(), &clsid);
    return clsid;
}

class ScopedRegistry {
public:
    ScopedRegistry() { setenv("TONEGATE_REGISTRY", folder_.string().c_str(), 1); }
    ~ScopedRegistry() {
        unsetenv("TONEGATE_REGISTRY");
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

    // Registers `clsidText` as an in-process server in `modulePath`.
    void AddClass(const std::string& clsidText, const std::string& modulePath) {
        Write("[HKEY_CLASSES_ROOT\\CLSID\\" + clsidText + "\\InprocServer32]\n@=\"" + modulePath + "\"\n");
    }

    // Registers a sound-card driver under `name`, and its class.
    void AddDriver(const std::string& name, const std::string& clsidText, const std::string& modulePath) {
        Write("[HKEY_LOCAL_MACHINE\\SOFTWARE\\ASIO\\" + name + "]\n\"CLSID\"=\"" + clsidText + "\"\n\"Description\"=\"" +
              name + "\"\n");
        AddClass(clsidText, modulePath);
    }

    const std::filesystem::path& folder() const { return folder_; }

private:
    static std::filesystem::path MakeFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "tonegate-registry-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        return pattern;
    }

    // One file per entry, named in the order written, so later entries
    // override earlier ones as they would in one file.
    void Write(const std::string& text) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.reg", files_++);
        WriteFile(folder_ / name, "Windows Registry Editor Version 5.00\n\n" + text);
    }

    std::filesystem::path folder_ = MakeFolder();
    int files_ = 0;
};

}  // namespace tonegate_test
