// `tonegate check` end to end: a capture the command played onto the WAV
// sink, the same capture altered in the ways a faulty card or cable alters
// one (each mismatch said and recorded in the JSON with its figures), cut
// short, under a path that is not UTF-8, a recording made of it (resampled,
// with noise), and its picture.
// Thread: the test's own; the command runs as a child.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "support/tonegate_command.h"

namespace {

using tonegate_test::Outcome;
using tonegate_test::RunTonegate;

constexpr int kBuffer = 256;
const std::string kScript = "rate 48000\natten 12\ntone A 1000 0.2\nrest 0.05\ntones 660 3520 0.25\n"
                            "sweep B 100 1000 0.2 6\ntone A 440 0.15 20\n";

// A capture as frames of interleaved integers, to alter and write back.
struct Frames {
    SF_INFO info{};
    std::vector<int> samples;  // left-justified 32-bit, as libsndfile gives them

    bool Read(const std::string& path) {
        SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
        if (file == nullptr) return false;
        samples.resize(static_cast<size_t>(info.frames * info.channels));
        const bool whole = sf_readf_int(file, samples.data(), info.frames) == info.frames;
        sf_close(file);
        return whole;
    }
    bool Write(const std::string& path) {
        SF_INFO out = info;
        SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &out);
        if (file == nullptr) return false;
        const bool whole = sf_writef_int(file, samples.data(), info.frames) == info.frames;
        sf_close(file);
        return whole;
    }
    int& At(int64_t frame, int channel) { return samples.at(static_cast<size_t>(frame * 2 + channel)); }
    // The first frame of the `index`-th run of sound on `channel`.
    int64_t Item(int channel, int index) {
        int64_t found = -1;
        for (int64_t frame = 0, quiet = kBuffer; frame < info.frames; ++frame) {
            if (At(frame, channel) == 0) {
                ++quiet;
                continue;
            }
            if (quiet >= kBuffer / 2 && ++found == index) return frame;
            quiet = 0;
        }
        return -1;
    }
};

class TonegateCheck : public tonegate_test::FreshDirectoryTest {
protected:
    void SetUp() override {
        tonegate_test::WriteFile("script.txt", kScript);
        const Outcome play = RunTonegate("play script.txt --wav played.wav", "TONEGATE_WAVSINK_BUFFER=256");
        ASSERT_EQ(play.status, 0) << play.err;
        ASSERT_TRUE(played_.Read("played.wav"));
        // The sink's default: sample units are libsndfile's integers.
        ASSERT_EQ(played_.info.format & SF_FORMAT_SUBMASK, SF_FORMAT_PCM_32);
    }

    // Writes the capture changed by `alter` and checks it against the script.
    template <typename Alter>
    Outcome CheckAltered(Alter alter) {
        Frames altered = played_;
        alter(altered);
        EXPECT_TRUE(altered.Write("altered.wav"));
        return RunTonegate("check altered.wav --expect script.txt --json");
    }

    Frames played_;
};

// The mismatch of `field` on script line `line` (0: none) in a JSON report; null when there is none.
nlohmann::json Record(const nlohmann::json& report, const std::string& field, int line) {
    for (const nlohmann::json& record : report["expect"]["mismatches"])
        if (record["field"] == field && (line == 0 ? record["line"].is_null() : record["line"] == line)) return record;
    return nullptr;
}

TEST_F(TonegateCheck, EachAlterationIsReportedAndRefused) {
    const Outcome intact = RunTonegate("check played.wav --expect script.txt");
    ASSERT_EQ(intact.status, 0) << intact.out << intact.err;

    // Each alteration's truth: what the test changed, never what check measured.
    struct Case {
        const char* name;
        std::function<void(Frames&)> alter;
        const char* reported;
        const char* field;
        int line;
        std::function<void(const nlohmann::json&)> figures;
    };
    const std::vector<Case> cases = {
        {"one sample changed", [](Frames& f) { f.At(f.Item(0, 0) + 4000, 0) += 1 << 16; },
         "script.txt:3: tone A 1000 Hz: its samples sum to", "sum", 3,
         [](const nlohmann::json& r) {
             EXPECT_EQ(r["expected"], 0);
             EXPECT_EQ(r["measured"], 1 << 16);
             EXPECT_EQ(r["bound"], 0);
         }},
        {"a voice one buffer late",
         [](Frames& f) {
             const int64_t start = f.Item(1, 0);
             for (int64_t frame = start + 13000; frame >= start; --frame) f.At(frame + kBuffer, 1) = f.At(frame, 1);
             for (int64_t frame = start; frame < start + kBuffer; ++frame) f.At(frame, 1) = 0;
         },
         "frames after its other voice", "onset", 5,
         [](const nlohmann::json& r) {
             EXPECT_EQ(r["measured"].get<double>() - r["expected"].get<double>(), kBuffer);
             EXPECT_EQ(r["bound"], 0);
             EXPECT_EQ(r["unit"], "frames");
             EXPECT_EQ(r["channel"], "B");
         }},
        {"a note missing",
         [](Frames& f) {
             for (int64_t frame = f.Item(0, 2); frame < f.info.frames; ++frame) f.At(frame, 0) = 0;
         },
         "script.txt:7: tone A 440 Hz: missing from the capture", "missing", 7,
         [](const nlohmann::json& r) {
             EXPECT_EQ(r["expected"], 440);
             EXPECT_TRUE(r["measured"].is_null());
             EXPECT_TRUE(r["item"].is_null());
         }},
        {"an extra note",
         [](Frames& f) {
             const int64_t from = f.Item(0, 0), to = f.info.frames - 10000;
             for (int64_t frame = 0; frame < 9700; ++frame) f.At(to + frame, 0) = f.At(from + frame, 0);
         },
         "extra item: A tone", "extra", 0,
         [](const nlohmann::json& r) {
             EXPECT_NEAR(r["measured"].get<double>(), 1000, 1e-3);
             EXPECT_TRUE(r["expected"].is_null());
             EXPECT_EQ(r["item"], 4);  // after the four sounds before it, in order of onset
         }},
        {"1 dB too loud",
         [](Frames& f) {
             for (int64_t frame = f.Item(0, 0); frame < f.Item(0, 0) + 9700; ++frame)
                 f.At(frame, 0) = static_cast<int>(std::lround(f.At(frame, 0) * std::pow(10.0, 1 / 20.0)));
         },
         "script.txt:3: tone A 1000 Hz: level 11.", "level", 3,
         [](const nlohmann::json& r) {
             EXPECT_EQ(r["expected"], 12);
             EXPECT_NEAR(r["measured"].get<double>(), 11, 0.01);
             EXPECT_EQ(r["bound"], 0.5);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Outcome checked = CheckAltered(c.alter);
        EXPECT_EQ(checked.status, 1);
        EXPECT_NE(checked.err.find(c.reported), std::string::npos) << checked.err;
        const nlohmann::json report = nlohmann::json::parse(checked.out);
        EXPECT_FALSE(report["expect"]["passed"]);
        const nlohmann::json record = Record(report, c.field, c.line);
        ASSERT_FALSE(record.is_null()) << checked.out;
        EXPECT_NE(checked.err.find(record["text"].get<std::string>()), std::string::npos);
        c.figures(record);
    }
    // The capture as played, against a script that asks for 1000.5 Hz: 500 ppm off, at most 1 ppm.
    std::string off = kScript;
    off.replace(off.find("1000 0.2"), 4, "1000.5");
    tonegate_test::WriteFile("off.txt", off);
    const Outcome checked = RunTonegate("check played.wav --expect off.txt --json");
    EXPECT_EQ(checked.status, 1);
    const nlohmann::json record = Record(nlohmann::json::parse(checked.out), "frequency", 3);
    ASSERT_FALSE(record.is_null()) << checked.out;
    EXPECT_EQ(record["expected"], 1000.5);
    EXPECT_NEAR(record["measured"].get<double>(), 1000, 1e-3);
    EXPECT_NEAR(record["bound"].get<double>(), 1000.5e-6, 1e-12);
}

// A path that is not UTF-8 (Latin-1 "café") comes out replaced, in a
// document that parses; a capture cut short of what its header says is said
// and fails, though every sound of the script is in what is left.
TEST_F(TonegateCheck, TheJsonIsValidAndTheCaptureWhole) {
    const std::string path = "caf\xe9.wav";
    std::filesystem::copy_file("played.wav", path);
    Outcome checked = RunTonegate("check '" + path + "' --expect script.txt --json");
    EXPECT_EQ(checked.status, 0) << checked.err;
    nlohmann::json report = nlohmann::json::parse(checked.out);
    EXPECT_EQ(report["path"], "caf\xef\xbf\xbd.wav");
    EXPECT_EQ(report["items"].size(), 5u);
    EXPECT_FALSE(report["truncated"]);
    for (const nlohmann::json& item : report["items"])
        EXPECT_TRUE(item["kind"] != "tone" || (item.contains("thdn") && item.contains("cycles"))) << item;
    // The last 1000 frames (silence after the last note) cut off; the header still counts them.
    const int64_t frames = played_.info.frames, frameBytes = 2 * 4;
    std::filesystem::resize_file(path, std::filesystem::file_size(path) - 1000 * frameBytes);
    checked = RunTonegate("check '" + path + "' --expect script.txt --json");
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.err.find("truncated: " + std::to_string(frames - 1000) + " of " + std::to_string(frames) +
                               " frames"),
              std::string::npos)
        << checked.err;
    report = nlohmann::json::parse(checked.out);
    EXPECT_TRUE(report["truncated"]);
    EXPECT_EQ(report["frames"], frames - 1000);
    EXPECT_EQ(report["declared_frames"], frames);
    EXPECT_TRUE(report["expect"]["passed"]);
}

// A recording of the same capture: resampled by sox to 44100 Hz, with white
// noise at -90 dBFS. Read as recorded by itself, it still holds the script.
TEST_F(TonegateCheck, ARecordingPassesInTheTolerantReading) {
    ASSERT_EQ(std::system("sox -q played.wav -r 44100 -b 32 resampled.wav && "
                          "sox -q -n -r 44100 -c 2 -b 32 noise.wav synth 3 whitenoise vol 0.0000316 && "
                          "sox -q -m -v 1 resampled.wav -v 1 noise.wav -b 32 recorded.wav trim 0 $(soxi -D resampled.wav)"),
              0);
    Outcome checked = RunTonegate("check recorded.wav --expect script.txt --json");
    EXPECT_EQ(checked.status, 0) << checked.err;
    const nlohmann::json report = nlohmann::json::parse(checked.out);
    EXPECT_FALSE(report["bit_exact"]);
    EXPECT_EQ(report["rate"], 44100);
    EXPECT_EQ(report["items"].size(), 5u);
    // The tolerant reading is no blanket pass: a missing note is still missing,
    tonegate_test::WriteFile("more.txt", kScript + "tone B 880 0.1\n");
    checked = RunTonegate("check recorded.wav --expect more.txt");
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.err.find("more.txt:8: tone B 880 Hz: missing"), std::string::npos) << checked.err;
    // and 8 ms lost from the middle of a note (a quantum a server dropped)
    // break it, though its frequency and level stay within their bounds.
    Frames cut = played_;
    const int64_t gap = 378, from = cut.Item(0, 0) + 4000;
    for (int64_t frame = from; frame + gap < cut.info.frames; ++frame) cut.At(frame, 0) = cut.At(frame + gap, 0);
    ASSERT_TRUE(cut.Write("cut.wav"));
    checked = RunTonegate("check cut.wav --expect script.txt --recorded");
    EXPECT_EQ(checked.status, 1);
    EXPECT_NE(checked.err.find("script.txt:3: tone A 1000 Hz: THD+N "), std::string::npos) << checked.err;
}

// The picture is a PNG of the stated size.
TEST_F(TonegateCheck, ThePlotIsAPngOfTheStatedSize) {
    const Outcome checked = RunTonegate("check played.wav --plot picture.png");
    ASSERT_EQ(checked.status, 0) << checked.err;
    std::ifstream png("picture.png", std::ios::binary);
    unsigned char head[24] = {};
    ASSERT_TRUE(png.read(reinterpret_cast<char*>(head), sizeof head));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(head), 8), "\x89PNG\r\n\x1a\n");
    EXPECT_EQ(std::string(reinterpret_cast<char*>(head + 12), 4), "IHDR");
    const auto bigEndian = [&](int at) { return head[at] << 24 | head[at + 1] << 16 | head[at + 2] << 8 | head[at + 3]; };
    EXPECT_EQ(bigEndian(16), 1600);
    EXPECT_EQ(bigEndian(20), 1000);
    EXPECT_EQ(RunTonegate("check played.wav --plot no/such/folder/picture.png").status, 1);
    EXPECT_EQ(RunTonegate("check no-such-capture.wav").status, 1);
}

}  // namespace
