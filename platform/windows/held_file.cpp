// A file one run alone writes, on Windows: opened sharing reading only,
// links refused, positioned writes. Thread: the owner's (see
// platform/held_file.h).
#include "platform/held_file.h"

#include <fcntl.h>
#include <io.h>

#include <cerrno>
#include <cstring>

#include "platform/win32.h"

namespace tonegate_platform {

namespace {

HANDLE AsHandle(void* handle) { return static_cast<HANDLE>(handle); }

// The C runtime's number for the errors an open or a write commonly meets,
// so that their reasons read as on POSIX (and as fopen gave them); 0 for
// the others, which keep the system's own text.
int ErrnoFor(int error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            return ENOENT;
        case ERROR_ACCESS_DENIED:
            return EACCES;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            return ENOSPC;
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        default:
            return 0;
    }
}

}  // namespace

HoldResult HeldFile::Open(const char* path, bool create) {
    Close();
    // Sharing reading only: another run's open for writing fails, and so does
    // renaming or deleting the file while it is held. The reparse-point flag
    // opens a link itself, which is then refused, instead of its target.
    HANDLE handle = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, create ? OPEN_ALWAYS : OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        failure_ = static_cast<int>(GetLastError());
        return failure_ == ERROR_SHARING_VIOLATION ? HoldResult::HeldElsewhere : HoldResult::Failed;
    }
    BY_HANDLE_FILE_INFORMATION information{};
    HoldResult result = HoldResult::Held;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileInformationByHandle(handle, &information))
        result = HoldResult::NotRegular;
    else if ((information.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        result = HoldResult::Link;
    if (result != HoldResult::Held) {
        CloseHandle(handle);
        return result;
    }
    handle_ = handle;
    return result;
}

bool HeldFile::Truncate() {
    if (SetFilePointerEx(AsHandle(handle_), LARGE_INTEGER{}, nullptr, FILE_BEGIN) && SetEndOfFile(AsHandle(handle_)))
        return true;
    failure_ = static_cast<int>(GetLastError());
    return false;
}

bool HeldFile::WriteAt(uint64_t offset, const void* bytes, size_t size, size_t& written) {
    written = 0;
    while (written < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + written);
        at.OffsetHigh = static_cast<DWORD>((offset + written) >> 32);
        const size_t left = size - written;
        const DWORD piece = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteFile(AsHandle(handle_), static_cast<const char*>(bytes) + written, piece, &done, &at) || done == 0) {
            failure_ = static_cast<int>(GetLastError());
            return false;
        }
        written += done;
    }
    return true;
}

std::FILE* HeldFile::ToTextStream() {
    const int descriptor = _open_osfhandle(reinterpret_cast<intptr_t>(handle_), _O_TEXT);
    if (descriptor < 0) {
        Close();
        return nullptr;
    }
    handle_ = nullptr;
    std::FILE* stream = _fdopen(descriptor, "wt");
    if (stream == nullptr) _close(descriptor);
    return stream;
}

void HeldFile::Close() {
    if (handle_ != nullptr) CloseHandle(AsHandle(handle_));
    handle_ = nullptr;
}

bool HeldFile::isOpen() const { return handle_ != nullptr; }

void HeldFile::DescribeFailure(char* text, size_t size) const {
    if (const int number = ErrnoFor(failure_)) {
        std::snprintf(text, size, "%s", std::strerror(number));
        return;
    }
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                        static_cast<DWORD>(failure_), 0, text, static_cast<DWORD>(size), nullptr);
    if (length == 0) {
        std::snprintf(text, size, "error %d", failure_);
        return;
    }
    // The system's text ends with a full stop and a line end.
    size_t end = length;
    while (end > 0 && (text[end - 1] == '\n' || text[end - 1] == '\r' || text[end - 1] == '.')) --end;
    text[end] = '\0';
}

}  // namespace tonegate_platform
