// The tests' own RIFF/WAVE reader (for builds without libsndfile) on files
// made here byte by byte: the samples it takes from a good file, the chunks it
// walks past, the files it refuses and why. Where the build has libsndfile,
// the capture analysis's reader reads the same files alike.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/temp_dir.h"

namespace tonegate_e2e {
namespace {

std::string Field(uint32_t value, int bytes) {
    std::string field;
    for (int i = 0; i < bytes; ++i) field += static_cast<char>((value >> (8 * i)) & 0xFFu);
    return field;
}

struct Chunk {
    std::string id;
    std::string body;
};

// "RIFF", its size, "WAVE" and the chunks, each odd-sized one followed by
// its pad byte.
std::string WaveFile(const std::vector<Chunk>& chunks) {
    std::string riff = "WAVE";
    for (const Chunk& chunk : chunks) {
        riff += chunk.id + Field(static_cast<uint32_t>(chunk.body.size()), 4) + chunk.body;
        if (chunk.body.size() % 2 != 0) riff += '\0';
    }
    return "RIFF" + Field(static_cast<uint32_t>(riff.size()), 4) + riff;
}

struct FmtFields {
    uint32_t formatTag = 1;
    uint32_t channels = 2;
    uint32_t rate = 48000;
    uint32_t bits = 32;
};

// A "fmt " chunk whose byte rate and block align follow from the fields;
// `extension` goes after the 16 bytes every format has.
Chunk Fmt(const FmtFields& fields, const std::string& extension = "") {
    const uint32_t blockAlign = fields.channels * fields.bits / 8;
    return {"fmt ", Field(fields.formatTag, 2) + Field(fields.channels, 2) + Field(fields.rate, 4) +
                        Field(fields.rate * blockAlign, 4) + Field(blockAlign, 2) + Field(fields.bits, 2) +
                        extension};
}

Chunk Data(const std::vector<int32_t>& interleaved, uint32_t bits) {
    std::string body;
    for (int32_t sample : interleaved) body += Field(static_cast<uint32_t>(sample), static_cast<int>(bits / 8));
    return {"data", body};
}

// Frames A, B of both widths, with both ends of each range.
const std::vector<int32_t> kSamples32 = {std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max(),
                                         -1, 1, 0, -123456789, 987654321, -2};
const std::vector<int32_t> kSamples16 = {-32768, 32767, -1, 1, 0, -1234, 4321, -2};

const std::vector<int32_t>& SamplesOf(uint32_t bits) { return bits == 16 ? kSamples16 : kSamples32; }

constexpr char kPath[] = "capture.wav";

class CaptureReader : public tonegate_test::FreshDirectoryTest {
protected:
    // The file read with the own reader, and alike with libsndfile where the build has it.
    static Capture ExpectRead(const std::string& bytes) {
        tonegate_test::WriteFile(kPath, bytes);
        Capture capture;
        std::string error;
        EXPECT_TRUE(ReadRiffCapture(kPath, capture, error)) << error;
#ifdef TONEGATE_WITH_SNDFILE
        Capture reference;
        EXPECT_TRUE(ReadCapture(kPath, reference, error)) << error;
        EXPECT_EQ(capture.rate, reference.rate);
        EXPECT_EQ(capture.bits, reference.bits);
        EXPECT_EQ(capture.frames, reference.frames);
        EXPECT_EQ(capture.channel[0], reference.channel[0]);
        EXPECT_EQ(capture.channel[1], reference.channel[1]);
#endif
        return capture;
    }

    // The own reader's reason for refusing the file.
    static std::string ExpectRefused(const std::string& bytes) {
        tonegate_test::WriteFile(kPath, bytes);
        Capture capture;
        std::string error;
        EXPECT_FALSE(ReadRiffCapture(kPath, capture, error));
        EXPECT_FALSE(error.empty()) << "a refusal gives its reason";
        return error;
    }

    // Refused by the own reader, and by libsndfile's form where the build has it.
    static void ExpectRefusedByBoth(const std::string& bytes) {
        ExpectRefused(bytes);
#ifdef TONEGATE_WITH_SNDFILE
        Capture capture;
        std::string error;
        EXPECT_FALSE(ReadCapture(kPath, capture, error));
#endif
    }

    static void ExpectSamples(const Capture& capture, uint32_t rate, uint32_t bits) {
        const std::vector<int32_t>& samples = SamplesOf(bits);
        EXPECT_EQ(capture.rate, static_cast<int>(rate));
        EXPECT_EQ(capture.bits, static_cast<int>(bits));
        EXPECT_EQ(capture.frames, static_cast<int64_t>(samples.size() / 2));
        std::vector<int32_t> a, b;
        for (size_t i = 0; i < samples.size(); i += 2) {
            a.push_back(samples[i]);
            b.push_back(samples[i + 1]);
        }
        EXPECT_EQ(capture.channel[0], a) << "channel A";
        EXPECT_EQ(capture.channel[1], b) << "channel B";
    }
};

TEST_F(CaptureReader, TakesTheRateAndEverySampleUnscaledInBothWidths) {
    for (uint32_t bits : {16u, 32u}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        const uint32_t rate = bits == 16 ? 44100 : 96000;
        ExpectSamples(ExpectRead(WaveFile({Fmt({.rate = rate, .bits = bits}), Data(SamplesOf(bits), bits)})), rate,
                      bits);
    }
}

TEST_F(CaptureReader, WalksPastUnknownChunksAndThePadByteOfOddOnes) {
    for (uint32_t bits : {16u, 32u}) {
        SCOPED_TRACE(std::to_string(bits) + " bits");
        // An 18-byte "fmt " with an empty extension, odd chunks before and
        // between, and one more after the data.
        const std::string file = WaveFile({{"LIST", "abc"},
                                           Fmt({.bits = bits}, Field(0, 2)),
                                           {"fact", Field(4, 4)},
                                           {"junk", "odd"},
                                           Data(SamplesOf(bits), bits),
                                           {"LIST", "x"}});
        ExpectSamples(ExpectRead(file), 48000, bits);
    }
}

TEST_F(CaptureReader, TakesAnEmptyDataChunk) {
    const Capture capture = ExpectRead(WaveFile({Fmt({}), Data({}, 32)}));
    EXPECT_EQ(capture.frames, 0);
    EXPECT_TRUE(capture.channel[0].empty());
    EXPECT_TRUE(capture.channel[1].empty());
}

TEST_F(CaptureReader, RefusesWhatIsNotATwoChannel16Or32BitPcmWav) {
    const Chunk data16 = Data(kSamples16, 16);
    const Chunk data32 = Data(kSamples32, 32);
    const std::string good = WaveFile({Fmt({}), data32});
    {
        SCOPED_TRACE("not RIFF");
        ExpectRefusedByBoth("RIFX" + good.substr(4));
    }
    {
        SCOPED_TRACE("not WAVE");
        ExpectRefusedByBoth(good.substr(0, 8) + "AVI " + good.substr(12));
    }
    {
        SCOPED_TRACE("empty file");
        ExpectRefusedByBoth("");
    }
    {
        SCOPED_TRACE("float samples");
        ExpectRefusedByBoth(WaveFile({Fmt({.formatTag = 3}), data32}));
    }
    {
        // The extensible header with the PCM subformat: not what the sink writes
        // (libsndfile reads it, as the analysis may).
        SCOPED_TRACE("extensible");
        const std::string pcmSubformat("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
        ExpectRefused(
            WaveFile({Fmt({.formatTag = 0xFFFE}, Field(22, 2) + Field(32, 2) + Field(3, 4) + pcmSubformat), data32}));
    }
    {
        SCOPED_TRACE("one channel");
        ExpectRefusedByBoth(WaveFile({Fmt({.channels = 1, .bits = 16}), data16}));
    }
    {
        SCOPED_TRACE("four channels");
        ExpectRefusedByBoth(WaveFile({Fmt({.channels = 4, .bits = 16}), data32}));
    }
    {
        SCOPED_TRACE("24 bits");
        ExpectRefusedByBoth(WaveFile({Fmt({.bits = 24}), Data(std::vector<int32_t>(6, 1), 24)}));
    }
    {
        SCOPED_TRACE("8 bits");
        ExpectRefusedByBoth(WaveFile({Fmt({.bits = 8}), Data(std::vector<int32_t>(8, 1), 8)}));
    }
    {
        SCOPED_TRACE("no fmt chunk");
        ExpectRefusedByBoth(WaveFile({data32}));
    }
    {
        SCOPED_TRACE("no data chunk");
        ExpectRefusedByBoth(WaveFile({Fmt({})}));
    }
}

// Fields that disagree with each other: the own reader trusts none of them.
TEST_F(CaptureReader, RefusesAFmtChunkAtOddsWithItselfOrWithTheData) {
    {
        SCOPED_TRACE("fmt chunk of 14 bytes");
        Chunk fmt = Fmt({});
        fmt.body.resize(14);
        ExpectRefused(WaveFile({fmt, Data(kSamples32, 32)}));
    }
    {
        SCOPED_TRACE("block align of a mono frame");
        Chunk fmt = Fmt({});
        fmt.body.replace(12, 2, Field(4, 2));
        ExpectRefused(WaveFile({fmt, Data(kSamples32, 32)}));
    }
    {
        SCOPED_TRACE("byte rate of another rate");
        Chunk fmt = Fmt({});
        fmt.body.replace(8, 4, Field(44100 * 8, 4));
        ExpectRefused(WaveFile({fmt, Data(kSamples32, 32)}));
    }
    {
        SCOPED_TRACE("half a frame at the end");
        Chunk data = Data(kSamples32, 32);
        data.body.resize(data.body.size() - 4);
        ExpectRefused(WaveFile({Fmt({}), data}));
    }
}

// A capture cut short, whichever size field still claims the lost bytes.
TEST_F(CaptureReader, RefusesAShortFileAndSaysSo) {
    const std::string whole = WaveFile({Fmt({}), Data(kSamples32, 32)});
    const std::string cut = whole.substr(0, whole.size() - 8);
    {
        SCOPED_TRACE("the RIFF size claims them");
        EXPECT_NE(ExpectRefused(cut).find("short file"), std::string::npos);
    }
    {
        SCOPED_TRACE("the data chunk's size claims them");
        std::string riffFits = cut;
        riffFits.replace(4, 4, Field(static_cast<uint32_t>(cut.size() - 8), 4));
        EXPECT_NE(ExpectRefused(riffFits).find("short file"), std::string::npos);
    }
    {
        SCOPED_TRACE("an odd chunk's pad byte is missing before the data");
        std::string noPad = WaveFile({Fmt({}), {"junk", "odd"}, Data(kSamples32, 32)});
        noPad.erase(12 + 8 + 16 + 8 + 3, 1);
        noPad.replace(4, 4, Field(static_cast<uint32_t>(noPad.size() - 8), 4));
        ExpectRefused(noPad);
    }
}

}  // namespace
}  // namespace tonegate_e2e
