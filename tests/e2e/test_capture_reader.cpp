// The readers of capture files on files made here byte by byte: the
// RIFF/WAVE reader (the reader of builds without libsndfile) and, where the
// build has libsndfile, OpenCaptureFile's libsndfile reader beside it. The
// samples and figures they give, the chunks they walk past, what a data chunk
// cut short claimed, and what the RIFF/WAVE reader refuses and why.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <string>
#include <vector>

#include "analysis/wav_file.h"
#include "support/capture.h"
#include "support/temp_dir.h"

namespace tonegate_e2e {
namespace {

using tonegate_capture::SampleSource;

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
                        Field(fields.rate * blockAlign, 4) + Field(blockAlign, 2) + Field(fields.bits, 2) + extension};
}

Chunk Data(const std::vector<int32_t>& interleaved, uint32_t bits) {
    std::string body;
    for (int32_t sample : interleaved) body += Field(static_cast<uint32_t>(sample), static_cast<int>(bits / 8));
    return {"data", body};
}

// Twelve samples of each integer width, both ends of its range among them,
// and of floats (one beyond full scale); frames of 1, 2 and 6 channels.
std::vector<int32_t> IntegerSamples(uint32_t bits) {
    const int32_t top = static_cast<int32_t>((int64_t{1} << (bits - 1)) - 1);
    return {-top - 1, top, -1, 1, 0, -top / 3, top / 7, -2, 3, 100, -100, 7};
}
const std::vector<float> kFloats = {-1.0f,  1.0f,  0.5f, -0.25f, 0.0f,   1e-7f,
                                    -0.75f, 0.125f, 2.0f, -3e-5f, 0.999f, -1e-3f};

struct Expected {
    int channels = 2;
    int bits = 32;
    bool floating = false;
    std::string format = "PCM 32-bit";
    std::vector<double> samples;  // interleaved
    int64_t declaredFrames = -1;
};

using Opener = std::unique_ptr<SampleSource> (*)(const std::string&, std::string&);
struct Reader {
    const char* name;
    Opener open;
};

// The RIFF/WAVE reader, and libsndfile's where the build has it.
std::vector<Reader> Readers() {
    std::vector<Reader> readers = {{"RIFF/WAVE reader", tonegate_capture::OpenWaveFile}};
#ifdef TONEGATE_WITH_SNDFILE
    readers.push_back({"libsndfile reader", tonegate_capture::OpenCaptureFile});
#endif
    return readers;
}

constexpr char kPath[] = "capture.wav";

class CaptureReader : public tonegate_test::FreshDirectoryTest {
protected:
    // Each reader gives the file's figures and every sample, read three
    // frames at a time, and again from frame 1 on where there is one.
    static void ExpectRead(const std::string& bytes, const Expected& expected,
                           const std::vector<Reader>& readers = Readers()) {
        tonegate_test::WriteFile(kPath, bytes);
        for (const Reader& reader : readers) {
            SCOPED_TRACE(reader.name);
            std::string why;
            const std::unique_ptr<SampleSource> file = reader.open(kPath, why);
            ASSERT_NE(file, nullptr) << why;
            EXPECT_EQ(file->channels, expected.channels);
            EXPECT_EQ(file->rate, 48000);
            EXPECT_EQ(file->bits, expected.bits);
            EXPECT_EQ(file->floating, expected.floating);
            EXPECT_EQ(file->format, expected.format);
            EXPECT_EQ(file->declaredFrames, expected.declaredFrames);
            const auto frames = static_cast<int64_t>(expected.samples.size()) / expected.channels;
            for (int64_t from = 0; from <= std::min<int64_t>(frames, 1); ++from) {
                std::vector<double> samples, block(static_cast<size_t>(3 * expected.channels));
                ASSERT_TRUE(file->Seek(from));
                for (int64_t got; (got = file->Read(block.data(), 3)) > 0;)
                    samples.insert(samples.end(), block.begin(), block.begin() + got * expected.channels);
                EXPECT_EQ(samples, std::vector<double>(expected.samples.begin() + from * expected.channels,
                                                       expected.samples.end()))
                    << "from frame " << from;
            }
        }
    }

    // The RIFF/WAVE reader refuses the file, naming `reason`; so does libsndfile where `bySndfileToo`.
    static void ExpectRefused(const std::string& bytes, const std::string& reason, [[maybe_unused]] bool bySndfileToo) {
        tonegate_test::WriteFile(kPath, bytes);
        std::string why;
        EXPECT_EQ(tonegate_capture::OpenWaveFile(kPath, why), nullptr);
        EXPECT_NE(why.find(reason), std::string::npos) << why;
#ifdef TONEGATE_WITH_SNDFILE
        if (bySndfileToo) {
            EXPECT_EQ(tonegate_capture::OpenCaptureFile(kPath, why), nullptr);
        }
#endif
    }
};

TEST_F(CaptureReader, TakesEveryWidthAndChannelCountAsWritten) {
    for (uint32_t channels : {1u, 2u, 6u}) {
        for (uint32_t bits : {16u, 24u, 32u}) {
            SCOPED_TRACE(std::to_string(channels) + " channels of " + std::to_string(bits) + " bits");
            const std::vector<int32_t> samples = IntegerSamples(bits);
            ExpectRead(WaveFile({Fmt({.channels = channels, .bits = bits}), Data(samples, bits)}),
                       {static_cast<int>(channels), static_cast<int>(bits), false,
                        "PCM " + std::to_string(bits) + "-bit", std::vector<double>(samples.begin(), samples.end())});
        }
        SCOPED_TRACE(std::to_string(channels) + " channels of floats");
        std::vector<int32_t> patterns;
        for (float sample : kFloats) patterns.push_back(std::bit_cast<int32_t>(sample));
        ExpectRead(WaveFile({Fmt({.formatTag = 3, .channels = channels}), Data(patterns, 32)}),
                   {static_cast<int>(channels), 32, true, "float 32-bit",
                    std::vector<double>(kFloats.begin(), kFloats.end())});
    }
}

TEST_F(CaptureReader, WalksPastUnknownChunksAndThePadByteOfOddOnes) {
    // An 18-byte "fmt " with an empty extension, odd chunks before and
    // between, and one more after the data.
    const std::vector<int32_t> samples = IntegerSamples(32);
    const std::string file = WaveFile({{"LIST", "abc"},
                                       Fmt({}, Field(0, 2)),
                                       {"fact", Field(4, 4)},
                                       {"junk", "odd"},
                                       Data(samples, 32),
                                       {"LIST", "x"}});
    ExpectRead(file, {.samples = std::vector<double>(samples.begin(), samples.end())});
}

TEST_F(CaptureReader, TakesAnExtensibleHeaderAsItsStandardSubformat) {
    const std::string pcmSubformat("\x01\x00\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 16);
    const std::vector<int32_t> samples = IntegerSamples(24);
    ExpectRead(
        WaveFile({Fmt({.formatTag = 0xFFFE, .bits = 24}, Field(22, 2) + Field(24, 2) + Field(3, 4) + pcmSubformat),
                  Data(samples, 24)}),
        {.bits = 24, .format = "PCM 24-bit", .samples = std::vector<double>(samples.begin(), samples.end())});
}

TEST_F(CaptureReader, TakesAnEmptyDataChunk) { ExpectRead(WaveFile({Fmt({}), Data({}, 32)}), {}); }

// A capture cut 1.5 frames short: its six whole frames are read, and the
// header's eight said, whether or not the RIFF size was mended.
TEST_F(CaptureReader, SaysWhatTheDataChunkOfAFileCutShortClaimed) {
    const std::vector<int32_t> samples = {1, -1, 2, -2, 3, -3, 4, -4, 5, -5, 6, -6, 7, -7, 8, -8};
    const std::string whole = WaveFile({Fmt({.bits = 16}), Data(samples, 16)});
    std::string cut = whole.substr(0, whole.size() - 6), mended = cut;
    mended.replace(4, 4, Field(static_cast<uint32_t>(cut.size() - 8), 4));
    for (const std::string& file : {cut, mended}) {
        ExpectRead(file, {.bits = 16,
                          .format = "PCM 16-bit",
                          .samples = std::vector<double>(samples.begin(), samples.begin() + 12),
                          .declaredFrames = 8});
        Capture capture;
        std::string error;
        EXPECT_FALSE(ReadCapture(kPath, capture, error));
        EXPECT_NE(error.find("short file: 6 of 8 frames"), std::string::npos) << error;
    }
}

// u-law codes and the 16-bit values G.711 decodes them to.
TEST_F(CaptureReader, ReadsULawAsIts16BitValuesWhereTheBuildHasLibsndfile) {
    const std::string file =
        WaveFile({Fmt({.formatTag = 7, .bits = 8}), {"data", std::string("\x80\x00\xFF\xF0\xEF\x6F", 6)}});
    ExpectRefused(file, "format 0x0007, 2 channels, 8 bits", false);
#ifdef TONEGATE_WITH_SNDFILE
    ExpectRead(file, {2, 16, false, "u-law", {32124, -32124, 0, 120, 132, -132}},
               {{"libsndfile reader", tonegate_capture::OpenCaptureFile}});
#endif
}

TEST_F(CaptureReader, RefusesWhatIsNoIntegerOrFloatPcmWavAndSaysWhy) {
    const Chunk data = Data(IntegerSamples(32), 32);
    const std::string good = WaveFile({Fmt({}), data});
    ExpectRefused("RIFX" + good.substr(4), "not a RIFF/WAVE file", true);
    ExpectRefused(good.substr(0, 8) + "AVI " + good.substr(12), "not a RIFF/WAVE file", true);
    ExpectRefused("", "not a RIFF/WAVE file", true);
    ExpectRefused(WaveFile({data}), "no \"fmt \" chunk", true);
    ExpectRefused(WaveFile({Fmt({})}), "no \"data\" chunk", true);
    ExpectRefused(WaveFile({Fmt({.bits = 8}), data}), "format 0x0001, 2 channels, 8 bits", false);
    ExpectRefused(WaveFile({Fmt({.formatTag = 3, .bits = 64}), data}), "format 0x0003, 2 channels, 64 bits", false);
    ExpectRefused(WaveFile({Fmt({.channels = 0}), data}), "0 channels", true);
}

// Fields that disagree with each other: the RIFF/WAVE reader trusts none of them.
TEST_F(CaptureReader, RefusesAFmtChunkAtOddsWithItselfOrWithTheData) {
    const Chunk data = Data(IntegerSamples(32), 32);
    Chunk fmt = Fmt({});
    fmt.body.resize(14);
    ExpectRefused(WaveFile({fmt, data}), "a \"fmt \" chunk of 14 bytes", false);
    fmt = Fmt({});
    fmt.body.replace(12, 2, Field(4, 2));
    ExpectRefused(WaveFile({fmt, data}), "inconsistent \"fmt \" chunk", false);
    fmt = Fmt({});
    fmt.body.replace(8, 4, Field(44100 * 8, 4));
    ExpectRefused(WaveFile({fmt, data}), "inconsistent \"fmt \" chunk", false);
    Chunk halfFrame = data;
    halfFrame.body.resize(halfFrame.body.size() - 4);
    ExpectRefused(WaveFile({Fmt({}), halfFrame}), "no whole number of 8-byte frames", false);
    // Without its pad byte, an odd chunk's successor is read one byte early.
    std::string noPad = WaveFile({Fmt({}), {"junk", "odd"}, data});
    noPad.erase(12 + 8 + 16 + 8 + 3, 1);
    ExpectRefused(noPad, "short file", false);
}

}  // namespace
}  // namespace tonegate_e2e
