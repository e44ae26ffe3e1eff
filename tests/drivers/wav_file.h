// Test support: a WAV file read back field by field, independently of the
// writer, and the checks that it is complete. Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>

#include "support/temp_dir.h"

namespace tonegate_test {

struct WavFile {
    std::string bytes;  // the whole file
    uint32_t riffSize = 0;
    uint16_t formatTag = 0;
    uint16_t channels = 0;
    uint32_t sampleRate = 0;
    uint32_t byteRate = 0;
    uint16_t blockAlign = 0;
    uint16_t bitsPerSample = 0;
    uint32_t dataSize = 0;

    std::string data() const { return bytes.substr(44, dataSize); }
};

inline uint32_t LittleEndianAt(const std::string& bytes, size_t offset, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

// The canonical 44-byte layout, tags checked; fields are zero in a file too
// short to hold them.
inline WavFile ReadWav(const std::filesystem::path& path) {
    WavFile wav;
    wav.bytes = ReadFile(path);
    const std::string& b = wav.bytes;
    if (b.size() < 44) {
        ADD_FAILURE() << path << " holds " << b.size() << " bytes, less than a WAV header";
        return wav;
    }
    EXPECT_EQ(b.substr(0, 4), "RIFF");
    EXPECT_EQ(b.substr(8, 8), "WAVEfmt ");
    EXPECT_EQ(LittleEndianAt(b, 16, 4), 16u);
    EXPECT_EQ(b.substr(36, 4), "data");
    wav.riffSize = LittleEndianAt(b, 4, 4);
    wav.formatTag = static_cast<uint16_t>(LittleEndianAt(b, 20, 2));
    wav.channels = static_cast<uint16_t>(LittleEndianAt(b, 22, 2));
    wav.sampleRate = LittleEndianAt(b, 24, 4);
    wav.byteRate = LittleEndianAt(b, 28, 4);
    wav.blockAlign = static_cast<uint16_t>(LittleEndianAt(b, 32, 2));
    wav.bitsPerSample = static_cast<uint16_t>(LittleEndianAt(b, 34, 2));
    wav.dataSize = LittleEndianAt(b, 40, 4);
    return wav;
}

// Sizes agree with the file's length (an odd data chunk followed by its pad
// byte) and the format fields with each other.
inline void ExpectComplete(const WavFile& wav) {
    const uint32_t pad = wav.dataSize & 1u;
    EXPECT_EQ(wav.bytes.size(), 44u + wav.dataSize + pad);
    EXPECT_EQ(wav.riffSize, 36u + wav.dataSize + pad);
    EXPECT_EQ(wav.formatTag, 1u);
    EXPECT_EQ(wav.blockAlign, wav.channels * wav.bitsPerSample / 8u);
    EXPECT_EQ(wav.byteRate, wav.sampleRate * wav.blockAlign);
    if (wav.blockAlign != 0) {
        EXPECT_EQ(wav.dataSize % wav.blockAlign, 0u);
    }
}

}  // namespace tonegate_test
