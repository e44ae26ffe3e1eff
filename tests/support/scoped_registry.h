// Test support: a private registry for one test, so COM and the driver list
// see only the classes and drivers the test registers. On POSIX it writes
// .reg files into a fresh folder and points TONEGATE_REGISTRY at it. On
// Windows it writes the same keys into the real registry (the host reads
// HKLM\SOFTWARE\ASIO and HKCR\CLSID there), keeps the drivers registered
// before it out of sight meanwhile, and puts everything back afterwards.
// Thread: the test's own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <utility>
#include <vector>
#endif

#include "platform/win32.h"
#include "support/temp_dir.h"

namespace tonegate_test {

// "{...}" text as a CLSID, through the platform's own parser; all zeros when
// it does not parse.
inline CLSID ClsidOf(const std::string& text) {
#ifdef _WIN32
    std::wstring wide(text.begin(), text.end());
#else
    std::u16string wide(text.begin(), text.end());
#endif
    CLSID clsid{};
    CLSIDFromString(wide.c_str(), &clsid);
    return clsid;
}

#ifdef _WIN32

// The registry of Windows, written for real: each entry's keys are created,
// and the outermost key an entry created is deleted with everything under it
// at the end. HKLM\SOFTWARE\ASIO is moved aside for the test's life (and
// left there by a test that crashed, to be put back by the next one).
class ScopedRegistry {
public:
    ScopedRegistry() {
        HKEY saved = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSavedDrivers, 0, KEY_READ, &saved) == ERROR_SUCCESS) {
            RegCloseKey(saved);  // a crashed test's leftovers: the drivers are saved already
        } else {
            CopyTree(kDrivers, kSavedDrivers);
        }
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kDrivers);
    }
    ~ScopedRegistry() {
        for (auto it = created_.rbegin(); it != created_.rend(); ++it) RegDeleteTreeA(it->first, it->second.c_str());
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kDrivers);
        if (CopyTree(kSavedDrivers, kDrivers)) RegDeleteTreeA(HKEY_LOCAL_MACHINE, kSavedDrivers);
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }
    ScopedRegistry(const ScopedRegistry&) = delete;
    ScopedRegistry& operator=(const ScopedRegistry&) = delete;

    // Registers `clsidText` as an in-process server in `modulePath`.
    void AddClass(const std::string& clsidText, const std::string& modulePath) {
        SetValue(HKEY_CLASSES_ROOT, "CLSID\\" + clsidText + "\\InprocServer32", nullptr, modulePath);
    }

    // Registers a sound-card driver under `name`, and its class.
    void AddDriver(const std::string& name, const std::string& clsidText, const std::string& modulePath) {
        const std::string key = std::string(kDrivers) + "\\" + name;
        SetValue(HKEY_LOCAL_MACHINE, key, "CLSID", clsidText);
        SetValue(HKEY_LOCAL_MACHINE, key, "Description", name);
        AddClass(clsidText, modulePath);
    }

    // Enters the sections of a registry export: `[ROOT\path]` headers and
    // `"name"="text"` or `@="text"` string values (`\\` and `\"` escaped).
    void AddRegText(const std::string& sections) {
        HKEY root = nullptr;
        std::string path;
        size_t start = 0;
        while (start < sections.size()) {
            size_t end = sections.find('\n', start);
            if (end == std::string::npos) end = sections.size();
            std::string line = sections.substr(start, end - start);
            start = end + 1;
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
                SplitRoot(line.substr(1, line.size() - 2), root, path);
                if (root != nullptr) CreateKey(root, path);
            } else if (root != nullptr && !line.empty()) {
                EnterValue(root, path, line);
            }
        }
    }

    // A fresh folder of the test's, for files beside the registrations.
    const std::filesystem::path& folder() const { return folder_; }

private:
    static constexpr const char* kDrivers = "SOFTWARE\\ASIO";
    static constexpr const char* kSavedDrivers = "SOFTWARE\\Tonegate tests\\ASIO set aside";

    // Copies HKLM\<from> to HKLM\<to>; false when there is no <from>.
    static bool CopyTree(const char* from, const char* to) {
        HKEY source = nullptr;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, from, 0, KEY_READ, &source) != ERROR_SUCCESS) return false;
        HKEY target = nullptr;
        bool copied = false;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, to, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &target, nullptr) ==
            ERROR_SUCCESS) {
            copied = RegCopyTreeA(source, nullptr, target) == ERROR_SUCCESS;
            RegCloseKey(target);
        }
        RegCloseKey(source);
        return copied;
    }

    static void SplitRoot(const std::string& fullPath, HKEY& root, std::string& path) {
        const size_t separator = fullPath.find('\\');
        const std::string rootName = fullPath.substr(0, separator);
        path = separator == std::string::npos ? std::string() : fullPath.substr(separator + 1);
        root = rootName == "HKEY_LOCAL_MACHINE" ? HKEY_LOCAL_MACHINE
               : rootName == "HKEY_CLASSES_ROOT" ? HKEY_CLASSES_ROOT
                                                 : nullptr;
    }

    // Creates root\path, remembering the outermost key that was new.
    void CreateKey(HKEY root, const std::string& path) {
        for (size_t end = path.find('\\');; end = path.find('\\', end + 1)) {
            const std::string prefix = path.substr(0, end);
            HKEY existing = nullptr;
            if (RegOpenKeyExA(root, prefix.c_str(), 0, KEY_READ, &existing) == ERROR_SUCCESS) {
                RegCloseKey(existing);
            } else {
                created_.emplace_back(root, prefix);
                break;
            }
            if (end == std::string::npos) break;
        }
        HKEY key = nullptr;
        if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr) !=
            ERROR_SUCCESS)
            throw std::runtime_error("cannot create registry key " + path);
        RegCloseKey(key);
    }

    void SetValue(HKEY root, const std::string& path, const char* name, const std::string& text) {
        CreateKey(root, path);
        HKEY key = nullptr;
        if (RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS)
            throw std::runtime_error("cannot open registry key " + path);
        RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
        RegCloseKey(key);
    }

    // `"name"="text"` or `@="text"`; anything else is left out.
    void EnterValue(HKEY root, const std::string& path, const std::string& line) {
        size_t at = 0;
        std::string name;
        bool isDefault = false;
        if (line[0] == '@') {
            isDefault = true;
            at = 1;
        } else if (!ReadQuoted(line, at, name)) {
            return;
        }
        if (at >= line.size() || line[at] != '=') return;
        ++at;
        std::string text;
        if (!ReadQuoted(line, at, text)) return;
        SetValue(root, path, isDefault ? nullptr : name.c_str(), text);
    }

    // Reads a quoted text starting at line[at], undoing its escapes; `at`
    // ends past the closing quote.
    static bool ReadQuoted(const std::string& line, size_t& at, std::string& text) {
        if (at >= line.size() || line[at] != '"') return false;
        for (++at; at < line.size(); ++at) {
            if (line[at] == '"') {
                ++at;
                return true;
            }
            if (line[at] == '\\' && at + 1 < line.size() && (line[at + 1] == '\\' || line[at + 1] == '"')) ++at;
            text.push_back(line[at]);
        }
        return false;
    }

    std::filesystem::path folder_ = MakeTemporaryFolder("tonegate-registry-");
    std::vector<std::pair<HKEY, std::string>> created_;
};

#else  // POSIX: .reg files

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

    // Enters the sections of a registry export, as one more file.
    void AddRegText(const std::string& sections) { Write(sections); }

    const std::filesystem::path& folder() const { return folder_; }

private:
    // One file per entry, named in the order written, so later entries
    // override earlier ones as they would in one file.
    void Write(const std::string& text) {
        char name[32];
        std::snprintf(name, sizeof name, "%04d.reg", files_++);
        WriteFile(folder_ / name, "Windows Registry Editor Version 5.00\n\n" + text);
    }

    std::filesystem::path folder_ = MakeTemporaryFolder("tonegate-registry-");
    int files_ = 0;
};

#endif  // _WIN32

}  // namespace tonegate_test
