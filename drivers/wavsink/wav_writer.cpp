// The RIFF/WAVE PCM writer: header layout, size bound, the sizes after every
// append, and the reasons it refuses a file.
// Thread: whichever thread owns the writer at the time (see wav_writer.h).
#include "drivers/wavsink/wav_writer.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace tonegate_wavsink {
namespace {

// Everything before the data chunk's contents but the first 8 bytes: the
// RIFF size counts from the "WAVE" tag on.
constexpr uint64_t kRiffOverhead = WavWriter::kHeaderBytes - 8;

void PutLittleEndian(unsigned char* to, uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) to[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::array<unsigned char, WavWriter::kHeaderBytes> Header(const WavFormat& format, uint64_t dataBytes) {
    std::array<unsigned char, WavWriter::kHeaderBytes> header{};
    unsigned char* at = header.data();
    const uint32_t pad = static_cast<uint32_t>(dataBytes & 1u);
    std::memcpy(at, "RIFF", 4);
    PutLittleEndian(at + 4, static_cast<uint32_t>(kRiffOverhead + dataBytes + pad), 4);
    std::memcpy(at + 8, "WAVEfmt ", 8);
    PutLittleEndian(at + 16, 16, 4);  // fmt chunk size
    PutLittleEndian(at + 20, 1, 2);   // integer PCM
    PutLittleEndian(at + 22, format.channels, 2);
    PutLittleEndian(at + 24, format.sampleRate, 4);
    PutLittleEndian(at + 28, format.sampleRate * format.blockAlign(), 4);
    PutLittleEndian(at + 32, format.blockAlign(), 2);
    PutLittleEndian(at + 34, format.bitsPerSample, 2);
    std::memcpy(at + 36, "data", 4);
    PutLittleEndian(at + 40, static_cast<uint32_t>(dataBytes), 4);
    return header;
}

}  // namespace

bool WavWriter::Create(const std::string& path, const WavFormat& format) {
    if (path != path_) Close();
    path_ = path;
    format_ = format;
    dataBytes_ = 0;
    full_ = false;
    error_[0] = '\0';
    if (!file_.isOpen() && !Hold()) return false;
    if (!file_.Truncate()) {
        Fail("cannot create");
        Close();
        return false;
    }
    return WriteSizes();
}

bool WavWriter::Append(const void* frames, size_t bytes) {
    if (!file_.isOpen() || full_) return false;
    const uint64_t room = LargestDataBytes() - dataBytes_;
    const size_t fitting = bytes <= room ? bytes : static_cast<size_t>(room);
    if (fitting > 0) {
        size_t written = 0;
        const bool wrote = file_.WriteAt(kHeaderBytes + dataBytes_, frames, fitting, written);
        if (!wrote) Fail("cannot write to");
        dataBytes_ += written - written % format_.blockAlign();
        // After the frames, so the header never counts a frame the file
        // does not hold yet.
        if (!WriteSizes() || !wrote) return false;
    }
    if (fitting < bytes) return Refuse("%s reached the largest size of a WAV file: writing stopped");
    return true;
}

bool WavWriter::Hold() {
    using tonegate_platform::HoldResult;
    switch (file_.Open(path_.c_str(), /*create=*/true)) {
        case HoldResult::Held:
            return true;
        case HoldResult::HeldElsewhere:
            return Refuse("%s is being written by another run");
        case HoldResult::Link:
            return Refuse("cannot create %s: it is a symbolic link, which is not followed");
        case HoldResult::NotRegular:
            return Refuse("cannot create %s: it is not a regular file");
        case HoldResult::Failed:
            break;
    }
    return Fail("cannot create");
}

bool WavWriter::WriteSizes() {
    size_t written = 0;
    if ((dataBytes_ & 1u) != 0) {
        const unsigned char pad = 0;
        if (!file_.WriteAt(kHeaderBytes + dataBytes_, &pad, 1, written)) return Fail("cannot write to");
    }
    // The whole header in one write: one system call, as cheap as the two
    // size fields alone.
    const auto header = Header(format_, dataBytes_);
    if (!file_.WriteAt(0, header.data(), header.size(), written)) return Fail("cannot write to");
    return true;
}

bool WavWriter::Fail(const char* what) {
    char reason[160];
    file_.DescribeFailure(reason, sizeof reason);
    full_ = true;
    if (error_[0] == '\0') std::snprintf(error_, sizeof error_, "%s %s: %s", what, path_.c_str(), reason);
    return false;
}

bool WavWriter::Refuse(const char* format) {
    full_ = true;
    if (error_[0] == '\0') std::snprintf(error_, sizeof error_, format, path_.c_str());
    return false;
}

uint64_t WavWriter::LargestDataBytes() const {
    if (largestRiffSize_ < kRiffOverhead) return 0;
    // Even, so an odd chunk's pad byte still fits; whole frames only.
    const uint64_t evenBound = (largestRiffSize_ - kRiffOverhead) & ~uint64_t{1};
    return evenBound - evenBound % format_.blockAlign();
}

}  // namespace tonegate_wavsink
