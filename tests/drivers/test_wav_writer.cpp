// The WAV writer: header fields, the sizes after every append, odd sizes and
// the size bound, checked on the file's bytes field by field (any channel
// count and sample width, which the shared capture reader does not take).
// Thread: the test's own.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>

#include "drivers/wavsink/wav_writer.h"
#include "support/temp_dir.h"

namespace {

using tonegate_wavsink::WavFormat;
using tonegate_wavsink::WavWriter;

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

uint32_t LittleEndianAt(const std::string& bytes, size_t offset, int count) {
    uint32_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | static_cast<unsigned char>(bytes[offset + i]);
    return value;
}

// The canonical 44-byte layout, tags checked; fields are zero in a file too
// short to hold them.
WavFile ReadWav(const std::filesystem::path& path) {
    WavFile wav;
    wav.bytes = tonegate_test::ReadFile(path);
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
void ExpectComplete(const WavFile& wav) {
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

// `frames` frames of distinct bytes, starting at `first`.
std::string Frames(const WavFormat& format, size_t frames, unsigned first = 0) {
    std::string bytes(frames * format.blockAlign(), '\0');
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>((first + i * 7) & 0xFF);
    return bytes;
}

class WavWriterTest : public tonegate_test::FreshDirectoryTest {};

TEST_F(WavWriterTest, EmptyFileHeaderHoldsTheFormat) {
    struct Case {
        WavFormat format;
        uint32_t byteRate;
        uint16_t blockAlign;
    };
    for (const Case& c : {Case{{48000, 2, 32}, 384000, 8}, Case{{44100, 2, 16}, 176400, 4}, Case{{192000, 1, 16}, 384000, 2}}) {
        WavWriter writer;
        ASSERT_TRUE(writer.Create("empty.wav", c.format)) << writer.error();
        writer.Close();
        const auto wav = ReadWav("empty.wav");
        EXPECT_EQ(wav.bytes.size(), 44u);
        EXPECT_EQ(wav.riffSize, 36u);
        EXPECT_EQ(wav.formatTag, 1u);
        EXPECT_EQ(wav.channels, c.format.channels);
        EXPECT_EQ(wav.sampleRate, c.format.sampleRate);
        EXPECT_EQ(wav.byteRate, c.byteRate);
        EXPECT_EQ(wav.blockAlign, c.blockAlign);
        EXPECT_EQ(wav.bitsPerSample, c.format.bitsPerSample);
        EXPECT_EQ(wav.dataSize, 0u);
    }
}

// Frames appended in uneven pieces read back whole; the header is right after
// every append while the file stays open, as a crash would leave it.
TEST_F(WavWriterTest, SizesFollowEveryAppendWhileOpenAndAfterClose) {
    for (const WavFormat format : {WavFormat{48000, 2, 32}, WavFormat{96000, 2, 16}}) {
        WavWriter writer;
        ASSERT_TRUE(writer.Create("frames.wav", format));
        std::string expected;
        for (const size_t frames : {1u, 7u, 333u}) {
            const std::string piece = Frames(format, frames, static_cast<unsigned>(expected.size()));
            ASSERT_TRUE(writer.Append(piece.data(), piece.size()));
            expected += piece;
            const auto wav = ReadWav("frames.wav");
            ExpectComplete(wav);
            EXPECT_EQ(wav.data(), expected);
        }
        writer.Close();
        const auto wav = ReadWav("frames.wav");
        ExpectComplete(wav);
        EXPECT_EQ(wav.dataSize, expected.size());
        EXPECT_EQ(wav.data(), expected);
    }
}

// An odd data chunk is followed by a pad byte that the RIFF size counts; the
// next frames replace the pad instead of following it.
TEST_F(WavWriterTest, OddDataChunkIsPaddedAndThePadIsOverwritten) {
    const WavFormat mono24{48000, 1, 24};
    WavWriter writer;
    ASSERT_TRUE(writer.Create("odd.wav", mono24));
    const std::string first = Frames(mono24, 1, 1);
    ASSERT_TRUE(writer.Append(first.data(), first.size()));
    auto wav = ReadWav("odd.wav");
    ExpectComplete(wav);
    EXPECT_EQ(wav.dataSize, 3u);
    EXPECT_EQ(wav.riffSize, 40u);

    const std::string second = Frames(mono24, 1, 50);
    ASSERT_TRUE(writer.Append(second.data(), second.size()));
    writer.Close();
    wav = ReadWav("odd.wav");
    ExpectComplete(wav);
    EXPECT_EQ(wav.data(), first + second);
}

// The bound is the RIFF size field's; a small one stands in for 4 GiB. The
// frames that fit are written, then the writer refuses, says why, and the
// file stays complete with a size that never passes the bound.
TEST_F(WavWriterTest, SizeBoundStopsWritingBeforeTheRiffSizeWouldPassIt) {
    struct Case {
        WavFormat format;
        uint64_t largestRiffSize;
        size_t framesAsked;
        uint32_t dataWritten;
    };
    for (const Case& c : {Case{{48000, 2, 32}, 36 + 100, 20, 96}, Case{{48000, 1, 24}, 36 + 7, 3, 6},
                          Case{{48000, 2, 16}, 36 + 40, 10, 40}}) {
        WavWriter writer(c.largestRiffSize);
        ASSERT_TRUE(writer.Create("bound.wav", c.format));
        const std::string frames = Frames(c.format, c.framesAsked);
        const bool allWritten = c.dataWritten == frames.size();
        EXPECT_EQ(writer.Append(frames.data(), frames.size()), allWritten);
        EXPECT_EQ(std::string(writer.error()).empty(), allWritten) << writer.error();
        const std::string oneMore = Frames(c.format, 1);
        EXPECT_FALSE(writer.Append(oneMore.data(), oneMore.size()));
        EXPECT_NE(std::string(writer.error()).find("bound.wav"), std::string::npos) << writer.error();
        writer.Close();
        const auto wav = ReadWav("bound.wav");
        ExpectComplete(wav);
        EXPECT_EQ(wav.dataSize, c.dataWritten);
        EXPECT_EQ(wav.data(), frames.substr(0, c.dataWritten));
        EXPECT_LE(wav.riffSize, c.largestRiffSize);
    }
}

TEST_F(WavWriterTest, CreateEmptiesAnOldFileAndFailsWithPathAndReason) {
    WavWriter writer;
    ASSERT_TRUE(writer.Create("again.wav", {48000, 2, 32}));
    const std::string frames = Frames({48000, 2, 32}, 10);
    ASSERT_TRUE(writer.Append(frames.data(), frames.size()));
    ASSERT_TRUE(writer.Create("again.wav", {44100, 2, 16}));
    writer.Close();
    const auto wav = ReadWav("again.wav");
    ExpectComplete(wav);
    EXPECT_EQ(wav.dataSize, 0u);
    EXPECT_EQ(wav.sampleRate, 44100u);

    EXPECT_FALSE(writer.Create("no-such-folder/x.wav", {48000, 2, 32}));
    EXPECT_FALSE(writer.isOpen());
    EXPECT_EQ(std::string(writer.error()), std::string("cannot create no-such-folder/x.wav: ") + std::strerror(ENOENT));
    EXPECT_FALSE(writer.Append(frames.data(), frames.size()));
}

}  // namespace
