// RIFF/WAVE files read without libsndfile: their chunks walked, and their
// integer and float PCM samples streamed in blocks as a sample source.
// Thread: the caller's one thread.
#include "analysis/wav_file.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <utility>
#include <vector>

namespace tonegate_capture {

namespace {

constexpr uint32_t kPcm = 1;
constexpr uint32_t kFloat = 3;
constexpr uint32_t kExtensible = 0xFFFE;
// A writer that streams and cannot go back to the header leaves this size.
constexpr uint32_t kUnknownSize = 0xFFFFFFFF;

uint32_t LittleEndian(const unsigned char* at, int bytes) {
    uint32_t value = 0;
    for (int i = bytes - 1; i >= 0; --i) value = value << 8 | at[i];
    return value;
}

// The fields of a "fmt " chunk's body. An extensible header with a standard
// subformat is taken as that format.
bool ReadFmt(const std::vector<unsigned char>& fmt, WaveLayout& layout, std::string& why) {
    if (fmt.size() < 16) {
        why = "a \"fmt \" chunk of " + std::to_string(fmt.size()) + " bytes";
        return false;
    }
    layout.formatTag = LittleEndian(fmt.data(), 2);
    layout.channels = LittleEndian(fmt.data() + 2, 2);
    layout.rate = LittleEndian(fmt.data() + 4, 4);
    layout.byteRate = LittleEndian(fmt.data() + 8, 4);
    layout.blockAlign = LittleEndian(fmt.data() + 12, 2);
    layout.bits = LittleEndian(fmt.data() + 14, 2);
    // The subformat GUID {tag-0000-0010-8000-00AA00389B71} after the tag.
    static const char kStandardGuidTail[] = "\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71";
    if (layout.formatTag == kExtensible && fmt.size() >= 40 &&
        std::memcmp(fmt.data() + 26, kStandardGuidTail, 14) == 0)
        layout.formatTag = LittleEndian(fmt.data() + 24, 2);
    return true;
}

// The walk behind ReadWaveLayout, once the file is open and `fileBytes` long.
bool WalkChunks(std::ifstream& in, uint64_t fileBytes, WaveLayout& layout, std::string& why) {
    bool haveFmt = false, haveData = false;
    unsigned char header[8];
    for (uint64_t at = 12; at + 8 <= fileBytes && !(haveFmt && haveData);) {
        in.seekg(static_cast<std::streamoff>(at));
        if (!in.read(reinterpret_cast<char*>(header), 8)) break;
        const std::string id(reinterpret_cast<const char*>(header), 4);
        const uint32_t bytes = LittleEndian(header + 4, 4);
        const uint64_t body = at + 8, left = fileBytes - body;
        if (id == "data" && !haveData) {
            haveData = true;
            layout.dataOffset = body;
            layout.dataBytes = bytes == kUnknownSize ? left : bytes;
            layout.presentBytes = std::min<uint64_t>(layout.dataBytes, left);
        } else if (bytes > left) {
            // Only the data chunk may be cut short: it is the one a capture grows.
            why = "short file: chunk \"" + id + "\" holds " + std::to_string(bytes) + " bytes, " +
                  std::to_string(left) + " are left";
            return false;
        } else if (id == "fmt " && !haveFmt) {
            std::vector<unsigned char> fmt(std::min<uint32_t>(bytes, 40));
            if (!in.read(reinterpret_cast<char*>(fmt.data()), static_cast<std::streamsize>(fmt.size()))) break;
            if (!ReadFmt(fmt, layout, why)) return false;
            haveFmt = true;
        }
        at = body + bytes + (bytes & 1u);
    }
    if (!haveFmt || !haveData) {
        why = !haveFmt ? "no \"fmt \" chunk" : "no \"data\" chunk";
        return false;
    }
    return true;
}

// Why the PCM reader cannot take a file of this layout; empty when it can.
std::string PcmProblem(const WaveLayout& layout) {
    const bool integer = layout.formatTag == kPcm && (layout.bits == 16 || layout.bits == 24 || layout.bits == 32);
    const bool floating = layout.formatTag == kFloat && layout.bits == 32;
    if ((!integer && !floating) || layout.channels == 0) {
        char tag[8];
        std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(layout.formatTag));
        return "format " + std::string(tag) + ", " + std::to_string(layout.channels) + " channels, " +
               std::to_string(layout.bits) +
               " bits: this build reads 16-, 24- and 32-bit integer and 32-bit float PCM only";
    }
    const uint32_t frameBytes = layout.channels * layout.bits / 8;
    if (layout.rate == 0 || layout.blockAlign != frameBytes || layout.byteRate != layout.rate * frameBytes)
        return "inconsistent \"fmt \" chunk: rate " + std::to_string(layout.rate) + ", byte rate " +
               std::to_string(layout.byteRate) + ", block align " + std::to_string(layout.blockAlign);
    if (layout.dataBytes % frameBytes != 0)
        return "a \"data\" chunk of " + std::to_string(layout.dataBytes) + " bytes is no whole number of " +
               std::to_string(frameBytes) + "-byte frames";
    return {};
}

class WaveFile final : public SampleSource {
public:
    WaveFile(std::ifstream in, const WaveLayout& layout)
        : in_(std::move(in)), layout_(layout), frames_(static_cast<int64_t>(layout.presentBytes / layout.blockAlign)) {
        channels = static_cast<int>(layout.channels);
        rate = static_cast<int>(layout.rate);
        bits = static_cast<int>(layout.bits);
        floating = layout.formatTag == kFloat;
        format = (floating ? "float " : "PCM ") + std::to_string(bits) + "-bit";
        if (layout.dataBytes > layout.presentBytes)
            declaredFrames = static_cast<int64_t>(layout.dataBytes / layout.blockAlign);
        Seek(0);
    }

    int64_t Read(double* samples, int64_t frames) override {
        const int64_t count = std::min(frames, frames_ - next_);
        if (count <= 0) return 0;
        bytes_.resize(static_cast<size_t>(count) * layout_.blockAlign);
        if (!in_.read(reinterpret_cast<char*>(bytes_.data()), static_cast<std::streamsize>(bytes_.size()))) return 0;
        const int sampleBytes = bits / 8;
        const unsigned char* at = bytes_.data();
        for (size_t i = 0; i < static_cast<size_t>(count) * layout_.channels; ++i, at += sampleBytes) {
            const uint32_t raw = LittleEndian(at, sampleBytes);
            if (floating) {
                float value;
                std::memcpy(&value, &raw, sizeof value);
                samples[i] = value;
            } else {
                // Sign-extended from the sample's own width.
                const int shift = 32 - bits;
                samples[i] = static_cast<double>(static_cast<int32_t>(raw << shift) >> shift);
            }
        }
        next_ += count;
        return count;
    }

    bool Seek(int64_t frame) override {
        if (frame < 0 || frame > frames_) return false;
        in_.clear();
        in_.seekg(static_cast<std::streamoff>(layout_.dataOffset + static_cast<uint64_t>(frame) * layout_.blockAlign));
        next_ = frame;
        return static_cast<bool>(in_);
    }

private:
    std::ifstream in_;
    WaveLayout layout_;
    int64_t frames_;  // the whole frames the file holds
    int64_t next_ = 0;
    std::vector<unsigned char> bytes_;
};

// The file opened for reading, its RIFF/WAVE tags checked and its chunks walked.
bool OpenAndWalk(const std::string& path, std::ifstream& in, WaveLayout& layout, std::string& why) {
    in.open(path, std::ios::binary | std::ios::ate);
    if (!in) {
        why = "cannot open " + path;
        return false;
    }
    const auto fileBytes = static_cast<uint64_t>(in.tellg());
    in.seekg(0);
    char tags[12];
    if (fileBytes < 12 || !in.read(tags, 12) || std::memcmp(tags, "RIFF", 4) != 0 ||
        std::memcmp(tags + 8, "WAVE", 4) != 0) {
        why = path + " is not a RIFF/WAVE file";
        return false;
    }
    if (WalkChunks(in, fileBytes, layout, why)) return true;
    why = path + ": " + why;
    return false;
}

}  // namespace

bool ReadWaveLayout(const std::string& path, WaveLayout& layout, std::string& why) {
    std::ifstream in;
    return OpenAndWalk(path, in, layout, why);
}

std::unique_ptr<SampleSource> OpenWaveFile(const std::string& path, std::string& why) {
    std::ifstream in;
    WaveLayout layout;
    if (!OpenAndWalk(path, in, layout, why)) return nullptr;
    const std::string problem = PcmProblem(layout);
    if (!problem.empty()) {
        why = path + ": " + problem;
        return nullptr;
    }
    return std::make_unique<WaveFile>(std::move(in), layout);
}

}  // namespace tonegate_capture
