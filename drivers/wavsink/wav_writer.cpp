// The RIFF/WAVE PCM writer: header layout, size bound and patching.
// Thread: whichever thread owns the writer at the time (see wav_writer.h).
#include "drivers/wavsink/wav_writer.h"

#include <array>
#include <cerrno>
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
    Close();
    path_ = path;
    format_ = format;
    dataBytes_ = 0;
    full_ = false;
    padWritten_ = false;
    error_[0] = '\0';
    file_ = std::fopen(path.c_str(), "wb");
    if (file_ == nullptr) return Fail("cannot create");
    return PatchSizes();
}

bool WavWriter::Append(const void* frames, size_t bytes) {
    if (file_ == nullptr || full_) return false;
    const uint64_t room = LargestDataBytes() - dataBytes_;
    const size_t fitting = bytes <= room ? bytes : static_cast<size_t>(room);
    if (fitting > 0) {
        const size_t written = std::fwrite(frames, 1, fitting, file_);
        if (written > 0) padWritten_ = false;
        dataBytes_ += written - written % format_.blockAlign();
        if (written != fitting) return Fail("cannot write to");
    }
    if (fitting < bytes) {
        full_ = true;
        if (error_[0] == '\0')
            std::snprintf(error_, sizeof error_, "%s reached the largest size of a WAV file: writing stopped",
                          path_.c_str());
        return false;
    }
    return true;
}

bool WavWriter::PatchSizes() {
    if (file_ == nullptr) return false;
    if ((dataBytes_ & 1u) != 0 && !padWritten_) {
        if (std::fseek(file_, 0, SEEK_END) != 0 || std::fputc(0, file_) == EOF) return Fail("cannot write to");
        padWritten_ = true;
    }
    const auto header = Header(format_, dataBytes_);
    if (std::fseek(file_, 0, SEEK_SET) != 0 || std::fwrite(header.data(), 1, header.size(), file_) != header.size())
        return Fail("cannot write to");
    // Back to the end of the frames (before the pad byte, which the next
    // frames replace); relative to the end, so no offset exceeds a long.
    if (std::fseek(file_, padWritten_ ? -1 : 0, SEEK_END) != 0 || std::fflush(file_) != 0)
        return Fail("cannot write to");
    return true;
}

void WavWriter::Close() {
    if (file_ == nullptr) return;
    PatchSizes();
    std::fclose(file_);
    file_ = nullptr;
}

bool WavWriter::Fail(const char* what) {
    const int reason = errno;
    full_ = true;
    if (error_[0] == '\0') std::snprintf(error_, sizeof error_, "%s %s: %s", what, path_.c_str(), std::strerror(reason));
    return false;
}

uint64_t WavWriter::LargestDataBytes() const {
    if (largestRiffSize_ < kRiffOverhead) return 0;
    // Even, so an odd chunk's pad byte still fits; whole frames only.
    const uint64_t evenBound = (largestRiffSize_ - kRiffOverhead) & ~uint64_t{1};
    return evenBound - evenBound % format_.blockAlign();
}

}  // namespace tonegate_wavsink
