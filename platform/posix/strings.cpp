// String and file subset of the POSIX layer: CharLowerBuffA (ASCII),
// MultiByteToWideChar (the ANSI code page read as UTF-8, into UTF-16) and
// OpenFile with OF_EXIST. Thread: any; none of them keeps state.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/win32.h"

namespace {

constexpr char16_t kReplacement = 0xFFFD;
constexpr WORD kErrorPathNotFound = 3;
constexpr WORD kErrorAccessDenied = 5;
constexpr WORD kErrorInvalidData = 13;

bool IsContinuation(unsigned char byte) { return (byte & 0xC0) == 0x80; }

// Decodes one UTF-8 sequence at text[at], moving `at` past it. A byte that
// cannot start a sequence, an overlong form, a surrogate, a value above
// U+10FFFF or a sequence cut short gives U+FFFD, consuming the longest
// prefix that could still have been valid (at least one byte), as Windows does.
uint32_t DecodeOne(const unsigned char* text, size_t size, size_t& at) {
    const unsigned char lead = text[at++];
    if (lead < 0x80) return lead;
    size_t length;
    uint32_t codePoint;
    unsigned char low = 0x80, high = 0xBF;  // bounds of the second byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        codePoint = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        codePoint = lead & 0x0F;
        if (lead == 0xE0) low = 0xA0;   // overlong below U+0800
        if (lead == 0xED) high = 0x9F;  // surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        codePoint = lead & 0x07;
        if (lead == 0xF0) low = 0x90;   // overlong below U+10000
        if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
    } else {
        return kReplacement;
    }
    for (size_t i = 1; i < length; ++i) {
        if (at >= size) return kReplacement;
        const unsigned char byte = text[at];
        if (i == 1 ? (byte < low || byte > high) : !IsContinuation(byte)) return kReplacement;
        codePoint = (codePoint << 6) | (byte & 0x3F);
        ++at;
    }
    return codePoint;
}

// The path made absolute: resolved when it names something, otherwise
// joined to the working directory.
std::string FullPathName(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) return resolved;
    if (path[0] == '/') return path;
    char workingDirectory[PATH_MAX];
    if (getcwd(workingDirectory, sizeof workingDirectory) == nullptr) return path;
    return std::string(workingDirectory) + "/" + path;
}

WORD Win32ErrorFor(int error) {
    switch (error) {
        case ENOENT: return static_cast<WORD>(ERROR_FILE_NOT_FOUND);
        case ENOTDIR: return kErrorPathNotFound;
        default: return kErrorAccessDenied;
    }
}

}  // namespace

DWORD CharLowerBuffA(LPSTR text, DWORD length) {
    if (text == nullptr) return 0;
    for (DWORD i = 0; i < length; ++i)
        if (text[i] >= 'A' && text[i] <= 'Z') text[i] = static_cast<char>(text[i] - 'A' + 'a');
    return length;
}

int MultiByteToWideChar(UINT codePage, DWORD /*flags*/, LPCSTR text, int textBytes, LPWSTR wide, int wideChars) {
    if (codePage != CP_ACP && codePage != CP_UTF8) return 0;
    if (text == nullptr || textBytes == 0 || textBytes < -1 || wideChars < 0) return 0;
    if (wideChars > 0 && wide == nullptr) return 0;
    // -1 means up to and including the terminator, which is converted too.
    const size_t size = textBytes == -1 ? std::strlen(text) + 1 : static_cast<size_t>(textBytes);
    const auto* bytes = reinterpret_cast<const unsigned char*>(text);
    size_t written = 0;
    for (size_t at = 0; at < size;) {
        const uint32_t codePoint = DecodeOne(bytes, size, at);
        const size_t units = codePoint >= 0x10000 ? 2 : 1;
        if (wideChars > 0) {
            if (written + units > static_cast<size_t>(wideChars)) return 0;
            if (units == 2) {
                wide[written] = static_cast<char16_t>(0xD800 + ((codePoint - 0x10000) >> 10));
                wide[written + 1] = static_cast<char16_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
            } else {
                wide[written] = static_cast<char16_t>(codePoint);
            }
        }
        written += units;
        if (written > static_cast<size_t>(INT_MAX)) return 0;
    }
    return static_cast<int>(written);
}

HFILE OpenFile(LPCSTR path, LPOFSTRUCT info, UINT style) {
    if (info == nullptr) return HFILE_ERROR;
    std::memset(info, 0, sizeof *info);
    info->cBytes = static_cast<BYTE>(sizeof *info);
    info->fFixedDisk = 1;
    if (path == nullptr || (style & OF_EXIST) == 0) {
        info->nErrCode = static_cast<WORD>(ERROR_INVALID_PARAMETER);
        return HFILE_ERROR;
    }
    // Like Windows, refuse a path whose full name does not fit into
    // szPathName with its terminator, before looking for the file.
    const std::string fullPath = FullPathName(path);
    if (fullPath.size() >= sizeof info->szPathName) {
        info->nErrCode = kErrorInvalidData;
        return HFILE_ERROR;
    }
    std::memcpy(info->szPathName, fullPath.c_str(), fullPath.size() + 1);
    // Opening, as Windows does, also refuses a file that exists but cannot
    // be read; O_NONBLOCK keeps a FIFO without a writer from hanging us.
    const int descriptor = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (descriptor < 0) {
        info->nErrCode = Win32ErrorFor(errno);
        return HFILE_ERROR;
    }
    struct stat status;
    const bool isFolder = fstat(descriptor, &status) == 0 && S_ISDIR(status.st_mode);
    close(descriptor);
    if (isFolder) {
        info->nErrCode = kErrorAccessDenied;
        return HFILE_ERROR;
    }
    // The file is closed again at once; like Windows we still hand back the
    // number it was opened under, which is never HFILE_ERROR.
    return descriptor;
}
