// A RIFF/WAVE PCM file written as it grows: a 44-byte header, then the
// frames as given. The header's sizes are patched on request, so a writer
// that patches now and then leaves a readable file however it ends.
// Thread: one at a time (the WAV sink hands it between the host's thread
// and its own thread only across thread start and join).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace tonegate_wavsink {

struct WavFormat {
    uint32_t sampleRate = 48000;
    uint16_t channels = 2;
    uint16_t bitsPerSample = 32;  // 8, 16, 24 or 32

    uint32_t blockAlign() const { return uint32_t{channels} * (bitsPerSample / 8u); }
};

class WavWriter {
public:
    // The RIFF chunk's size field is 32 bits wide.
    static constexpr uint64_t kLargestRiffSize = 0xFFFFFFFFu;
    static constexpr uint32_t kHeaderBytes = 44;

    // `largestRiffSize` bounds the RIFF size field the file may reach
    // (smaller only to try the bound without writing gigabytes).
    explicit WavWriter(uint64_t largestRiffSize = kLargestRiffSize) : largestRiffSize_(largestRiffSize) {}
    ~WavWriter() { Close(); }
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates or empties `path` and writes the header of a file without
    // frames. Closes the file open before, if any.
    bool Create(const std::string& path, const WavFormat& format);
    // Appends whole frames (`bytes` a multiple of the block size). Near the
    // size bound it writes the frames that fit and then refuses: false, and
    // error() says why, whenever not every frame was written.
    bool Append(const void* frames, size_t bytes);
    // Writes the current sizes into the header (and the pad byte an odd data
    // chunk needs) and flushes, leaving the file complete as it stands.
    bool PatchSizes();
    // Patches and closes.
    void Close();

    bool isOpen() const { return file_ != nullptr; }
    uint64_t dataBytes() const { return dataBytes_; }
    const WavFormat& format() const { return format_; }
    // The first failure since Create, with the path and the system's reason;
    // empty while none. Later failures leave it as it is.
    const char* error() const { return error_; }

private:
    // Keeps "<what> <path>: <system reason>" as the error, if it is the
    // first, and refuses every later frame.
    bool Fail(const char* what);
    uint64_t LargestDataBytes() const;

    const uint64_t largestRiffSize_;
    std::FILE* file_ = nullptr;
    std::string path_;
    WavFormat format_;
    uint64_t dataBytes_ = 0;
    bool full_ = false;
    // The pad byte after an odd data chunk is in the file; the next frames
    // overwrite it.
    bool padWritten_ = false;
    char error_[256] = "";
};

}  // namespace tonegate_wavsink
