// A file one run alone writes, on POSIX: opened without following links or
// waiting, the regular-file check, flock, positioned writes. Thread: the
// owner's (see platform/held_file.h).
#include "platform/held_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace tonegate_platform {

HoldResult HeldFile::Open(const char* path, bool create) {
    Close();
    // Non-blocking, so a FIFO without a reader fails at once (ENXIO) rather
    // than waiting for one.
    const int descriptor =
        open(path, O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | (create ? O_CREAT : 0), 0666);
    if (descriptor < 0) {
        failure_ = errno;
        return failure_ == ELOOP ? HoldResult::Link : failure_ == ENXIO ? HoldResult::NotRegular : HoldResult::Failed;
    }
    struct stat status {};
    HoldResult result = HoldResult::Held;
    device_ = false;
    if (fstat(descriptor, &status) != 0) {
        failure_ = errno;
        result = HoldResult::Failed;
    } else if (S_ISCHR(status.st_mode)) {
        device_ = true;
    } else if (!S_ISREG(status.st_mode)) {
        result = HoldResult::NotRegular;
    } else if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        failure_ = errno;
        result = failure_ == EWOULDBLOCK ? HoldResult::HeldElsewhere : HoldResult::Failed;
    }
    if (result != HoldResult::Held) {
        close(descriptor);
        return result;
    }
    descriptor_ = descriptor;
    return result;
}

bool HeldFile::Truncate() {
    if (device_ || ftruncate(descriptor_, 0) == 0) return true;
    failure_ = errno;
    return false;
}

bool HeldFile::WriteAt(uint64_t offset, const void* bytes, size_t size, size_t& written) {
    written = 0;
    while (written < size) {
        const ssize_t done = pwrite(descriptor_, static_cast<const char*>(bytes) + written, size - written,
                                    static_cast<off_t>(offset + written));
        if (done < 0 && errno == EINTR) continue;
        if (done <= 0) {
            failure_ = done < 0 ? errno : EIO;
            return false;
        }
        written += static_cast<size_t>(done);
    }
    return true;
}

std::FILE* HeldFile::ToTextStream() {
    std::FILE* stream = fdopen(descriptor_, "w");
    if (stream == nullptr) Close();
    descriptor_ = -1;
    return stream;
}

void HeldFile::Close() {
    if (descriptor_ >= 0) close(descriptor_);
    descriptor_ = -1;
}

bool HeldFile::isOpen() const { return descriptor_ >= 0; }

void HeldFile::DescribeFailure(char* text, size_t size) const {
    std::snprintf(text, size, "%s", std::strerror(failure_));
}

}  // namespace tonegate_platform
