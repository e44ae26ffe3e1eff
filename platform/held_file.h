// A file that one run alone writes: the debug log and the WAV sink's capture.
// It is opened without following a symbolic link and without waiting (a
// FIFO is refused, never waited on), only a regular file is taken (or, on
// POSIX, a character device such as /dev/null, which nothing can corrupt and
// which is not locked), and it stays locked against every other open of it
// (flock on POSIX, a share mode on Windows) for as long as it is open, so a
// second run in the same folder learns that the file is taken instead of
// writing into it. One implementation a system: posix/held_file.cpp,
// windows/held_file.cpp.
// Thread: whichever thread owns the file at the time; WriteAt runs on the WAV
// sink's real-time thread (one system call a piece, nothing allocated).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace tonegate_platform {

enum class HoldResult {
    Held,           // open, locked, regular
    HeldElsewhere,  // another open of the file holds it: another run
    Link,           // a symbolic link, not followed
    NotRegular,     // a FIFO, a folder or anything else that is not a plain file
    Failed,         // the system's reason: DescribeFailure
};

class HeldFile {
public:
    HeldFile() = default;
    ~HeldFile() { Close(); }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    // Opens `path` for writing, creating it when `create` says so; its
    // content stays until Truncate. Anything but Held leaves it closed.
    HoldResult Open(const char* path, bool create);
    bool Truncate();
    // Writes all of `bytes` at `offset`; `written` tells how many went out
    // when it fails part-way.
    bool WriteAt(uint64_t offset, const void* bytes, size_t size, size_t& written);
    // Hands the file over to a text stream, which holds the lock until it
    // is closed; null (and the file closed) when no stream can be made.
    std::FILE* ToTextStream();
    void Close();

    bool isOpen() const;
    // The system's reason for the latest failure.
    void DescribeFailure(char* text, size_t size) const;

private:
#ifdef _WIN32
    void* handle_ = nullptr;
#else
    int descriptor_ = -1;
    bool device_ = false;  // a character device: neither locked nor truncated
#endif
    // errno, or Windows' last error.
    int failure_ = 0;
};

}  // namespace tonegate_platform
