// A RIFF/WAVE PCM file written as it grows: a 44-byte header, then the
// frames as given. Every append writes the header's sizes after its frames,
// so the file is complete at every moment, however the process ends. The
// file is held while open (platform/held_file.h): no link followed, a regular
// file only, and no other run writes it meanwhile.
// Thread: one at a time (the WAV sink hands it between the host's thread
// and its own thread only across thread start and join).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/held_file.h"

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
    WavWriter(const WavWriter&) = delete;
    WavWriter& operator=(const WavWriter&) = delete;

    // Creates or empties `path` and writes the header of a file without
    // frames. A file open at another path is closed first; one open at the
    // same path is emptied in place, so it is never let go for another run
    // to take.
    bool Create(const std::string& path, const WavFormat& format);
    // Appends whole frames (`bytes` a multiple of the block size), then the
    // sizes. Near the size bound it writes the frames that fit and then
    // refuses: false, and error() says why, whenever not every frame was
    // written.
    bool Append(const void* frames, size_t bytes);
    void Close() { file_.Close(); }

    bool isOpen() const { return file_.isOpen(); }
    uint64_t dataBytes() const { return dataBytes_; }
    const WavFormat& format() const { return format_; }
    // The first failure since Create, with the path and the system's reason;
    // empty while none. Later failures leave it as it is.
    const char* error() const { return error_; }

private:
    // Opens and locks path_; false, with the reason kept, when it may not be
    // written.
    bool Hold();
    // The header with the current sizes, after the pad byte an odd data
    // chunk needs (which the next frames overwrite).
    bool WriteSizes();
    // Keeps "<what> <path>: <system reason>" as the error, if it is the
    // first, and refuses every later frame.
    bool Fail(const char* what);
    // Keeps a reason of the writer's own, if it is the first, and refuses
    // every later frame.
    bool Refuse(const char* format);
    uint64_t LargestDataBytes() const;

    const uint64_t largestRiffSize_;
    tonegate_platform::HeldFile file_;
    std::string path_;
    WavFormat format_;
    uint64_t dataBytes_ = 0;
    bool full_ = false;
    char error_[256] = "";
};

}  // namespace tonegate_wavsink
