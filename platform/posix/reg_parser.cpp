// The .reg text parser of the POSIX registry store: the registry-export
// format (header line, ';' comments, [ROOT\path] sections, "name"="text" and
// @="text" string values, UTF-8 or UTF-16LE) merged into a RegistryTree.
// Thread: whichever builds the tree (the caller's, when it opens a root key);
// never the real-time thread.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "platform/posix/registry_store.h"

namespace tonegate_posix {

namespace {

// Windows' own limit on a value name's length.
constexpr size_t kMaxValueNameBytes = 16383;

constexpr std::string_view kBlanks = " \t\r";

std::string_view Trim(std::string_view text) {
    const size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

void AppendUtf8(std::string& out, uint32_t codePoint) {
    if (codePoint < 0x80) {
        out += static_cast<char>(codePoint);
    } else if (codePoint < 0x800) {
        out += static_cast<char>(0xC0 | (codePoint >> 6));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else if (codePoint < 0x10000) {
        out += static_cast<char>(0xE0 | (codePoint >> 12));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (codePoint >> 18));
        out += static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (codePoint & 0x3F));
    }
}

// Registry Editor 5.00 exports are UTF-16LE with a byte-order mark; the rest
// of the store works on UTF-8. Unpaired surrogates become U+FFFD and an odd
// last byte is dropped.
std::string Utf16LeToUtf8(std::string_view bytes) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(bytes.size() / 2);
    auto unitAt = [&](size_t i) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
    };
    for (size_t i = 0; i + 1 < bytes.size(); i += 2) {
        const uint32_t unit = unitAt(i);
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            const uint32_t low = unitAt(i + 2);
            if (low >= 0xDC00 && low < 0xE000) {
                AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        AppendUtf8(out, unit >= 0xD800 && unit < 0xE000 ? kReplacement : unit);
    }
    return out;
}

// Reads a "quoted" string starting at text[at] == '"', undoing the \\ and \"
// escapes (any other backslash stands for itself), and moves `at` past the
// closing quote. None when the closing quote is missing.
std::optional<std::string> ReadQuoted(std::string_view text, size_t& at) {
    std::string result;
    for (size_t i = at + 1; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '"') {
            at = i + 1;
            return result;
        }
        if (c == '\\' && i + 1 < text.size() && (text[i + 1] == '\\' || text[i + 1] == '"')) ++i;
        result += text[i];
    }
    return std::nullopt;
}

void SkipBlanks(std::string_view text, size_t& at) {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
}

// `"name"="text"` or `@="text"`; other value types and anything malformed
// give none.
std::optional<RegistryValue> ParseValueLine(std::string_view line) {
    RegistryValue value;
    size_t at = 0;
    if (line[0] == '@') {
        at = 1;
    } else {
        std::optional<std::string> name = ReadQuoted(line, at);
        if (!name || name->size() > kMaxValueNameBytes) return std::nullopt;
        value.name = std::move(*name);
    }
    SkipBlanks(line, at);
    if (at >= line.size() || line[at] != '=') return std::nullopt;
    ++at;
    SkipBlanks(line, at);
    if (at >= line.size() || line[at] != '"') return std::nullopt;
    std::optional<std::string> text = ReadQuoted(line, at);
    if (!text) return std::nullopt;
    SkipBlanks(line, at);
    if (at != line.size()) return std::nullopt;
    value.text = std::move(*text);
    return value;
}

std::optional<RegistryRoot> ParseRoot(std::string_view name) {
    const std::string folded = FoldRegistryName(name);
    if (folded == "HKEY_LOCAL_MACHINE" || folded == "HKLM") return RegistryRoot::LocalMachine;
    if (folded == "HKEY_CLASSES_ROOT" || folded == "HKCR") return RegistryRoot::ClassesRoot;
    return std::nullopt;
}

}  // namespace

void RegistryTree::Merge(std::string_view fileBytes) {
    MergeUnindexed(fileBytes);
    IndexSubkeys();
}

void RegistryTree::MergeUnindexed(std::string_view fileBytes) {
    constexpr std::string_view kUtf16LeMark = "\xFF\xFE";
    constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";
    if (fileBytes.substr(0, kUtf16LeMark.size()) == kUtf16LeMark) {
        MergeLines(Utf16LeToUtf8(fileBytes.substr(kUtf16LeMark.size())));
    } else {
        if (fileBytes.substr(0, kUtf8Mark.size()) == kUtf8Mark) fileBytes.remove_prefix(kUtf8Mark.size());
        MergeLines(fileBytes);
    }
}

// Header lines ("Windows Registry Editor Version 5.00", "REGEDIT4") and
// comments carry nothing, so they fall out with the other lines that are
// neither a section nor a value. Values before the first good section, or
// after a section that cannot be read, belong nowhere and are dropped.
void RegistryTree::MergeLines(std::string_view text) {
    RegistryKey* section = nullptr;
    size_t lineStart = 0;
    while (lineStart < text.size()) {
        size_t lineEnd = text.find('\n', lineStart);
        if (lineEnd == std::string_view::npos) lineEnd = text.size();
        const std::string_view line = Trim(text.substr(lineStart, lineEnd - lineStart));
        lineStart = lineEnd + 1;
        if (line.empty() || line[0] == ';' || line.find('\0') != std::string_view::npos) continue;
        if (line[0] == '[') {
            section = nullptr;
            if (line.back() != ']') continue;
            const std::string_view path = line.substr(1, line.size() - 2);
            const size_t separator = path.find('\\');
            if (std::optional<RegistryRoot> root = ParseRoot(path.substr(0, separator)))
                section = CreatePath(*root, separator == std::string_view::npos ? "" : path.substr(separator));
            continue;
        }
        if (section == nullptr) continue;
        std::optional<RegistryValue> value = ParseValueLine(line);
        if (!value) continue;
        auto [slot, added] = section->values.try_emplace(FoldRegistryName(value->name), std::move(*value));
        if (!added) slot->second.text = std::move(value->text);
    }
}

}  // namespace tonegate_posix
