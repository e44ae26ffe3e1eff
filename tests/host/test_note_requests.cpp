// The note and sweep requests behind the exports: the driver started once by
// the first request, a start that fails and is tried again, a note refused or
// only half accepted by its generator, the time a note export returns, and
// which requests count. Thread: the test's own.
#include <gtest/gtest.h>

#include <chrono>
#include <ostream>
#include <string>
#include <vector>

#include "host/host_session.h"
#include "host/library_state.h"
#include "support/session_fixture.h"
#include "synth/sine_generator.h"

namespace {

using namespace tonegate_test_card;
using Lines = std::vector<std::string>;

class NoteRequestTest : public tonegate_test::SessionTest {
protected:
    // The lines written after the first line equal to `from`.
    static Lines LinesAfter(const std::string& from) {
        Lines lines = LinesFrom(from);
        if (!lines.empty()) lines.erase(lines.begin());
        return lines;
    }
    int Starts() const { return CountCalls(*card_, Operation::Start); }
};

// Each request kind on each channel: a note or a sweep, on A or on B.
struct Request {
    const char* name;
    // The note's result; 0 for a sweep.
    uint32_t (*send)();
    bool isNote;
    SineGenerator** generator;
};

const Request kRequests[] = {
    {"NoteA", [] { return ASIOGenerateSineWavA(440.0, 0.5, 0); }, true, &pSineGeneratorA},
    {"NoteB", [] { return ASIOGenerateSineWavB(440.0, 0.5, 0); }, true, &pSineGeneratorB},
    {"SweepA", [] { return ASIOGenerateSweepWavA(100.0, 1000.0, 0.5, 0), 0u; }, false, &pSineGeneratorA},
    {"SweepB", [] { return ASIOGenerateSweepWavB(100.0, 1000.0, 0.5, 0), 0u; }, false, &pSineGeneratorB},
};

void PrintTo(const Request& request, std::ostream* out) { *out << request.name; }

class RequestKindTest : public NoteRequestTest, public ::testing::WithParamInterface<Request> {};

TEST_P(RequestKindTest, FirstRequestStartsTheDriverOnce) {
    ASSERT_TRUE(OpenAndInit());
    EXPECT_EQ(Starts(), 0);
    GetParam().send();
    EXPECT_EQ(Starts(), 1);
    EXPECT_TRUE(IsRunning(*card_));
    EXPECT_TRUE(pASIOBuffers->bStarted);
    for (const Request& request : kRequests) request.send();
    ASIOGenerateSineWavA(880.0, 0.2, 10);
    EXPECT_EQ(Starts(), 1);
}

TEST_P(RequestKindTest, FailedStartIsLoggedAndTriedAgain) {
    ASSERT_TRUE(OpenAndInit());
    script().startResult = ASE_NotPresent;
    const uint32_t countBefore = noteCount;
    EXPECT_EQ(GetParam().send(), 0u);
    EXPECT_EQ(GetParam().send(), 0u);
    EXPECT_EQ(LinesAfter("CreatePrimaryBuffer success!"), (Lines{"Can't start!", "Can't start!"}));
    // A note counts even when the driver would not start; it is not handed over.
    EXPECT_EQ(noteCount, countBefore + (GetParam().isNote ? 2 : 0));
    EXPECT_FALSE(pSineGeneratorA->bSineActive || pSineGeneratorA->bSweepActive);
    EXPECT_FALSE(pSineGeneratorB->bSineActive || pSineGeneratorB->bSweepActive);
    EXPECT_FALSE(pASIOBuffers->bStarted);

    script().startResult = ASE_OK;
    GetParam().send();
    EXPECT_EQ(Starts(), 3);
    EXPECT_TRUE(pASIOBuffers->bStarted);
    EXPECT_EQ(LinesAfter("CreatePrimaryBuffer success!"), (Lines{"Can't start!", "Can't start!"}));
    const SineGenerator* generator = *GetParam().generator;
    EXPECT_TRUE(GetParam().isNote ? generator->bSineActive.load() : generator->bSweepActive.load());
}

INSTANTIATE_TEST_SUITE_P(Requests, RequestKindTest, ::testing::ValuesIn(kRequests),
                         [](const auto& info) { return std::string(info.param.name); });

// A note for a busy generator is counted and timed as usual; only the log
// tells that the generator refused it.
struct Channel {
    const char* name;
    uint32_t (*note)(double frequency, double seconds, uint32_t attenuation);
    SineGenerator** generator;
};

void PrintTo(const Channel& channel, std::ostream* out) { *out << channel.name; }

class BusyGeneratorTest : public NoteRequestTest, public ::testing::WithParamInterface<Channel> {};

TEST_P(BusyGeneratorTest, RefusedNoteWritesTheFourFailureLines) {
    ASSERT_TRUE(OpenAndInit());
    GetParam().note(1000.0, 1.0, 0);
    const std::string lastLine = tonegate_test::CurrentRunLines().back();
    const uint32_t countBefore = noteCount;
    EXPECT_NE(GetParam().note(440.0, 0.5, 3), 0u);
    EXPECT_EQ(noteCount, countBefore + 1);
    EXPECT_EQ(LinesAfter(lastLine),
              (Lines{std::string("Failed: pSineGenerator") + GetParam().name + "->PlaySineWav",
                     "frequency: 440.000000", "seconds: 0.500000", "noteCount: " + std::to_string(countBefore + 1)}));
}

// Past 10 seconds the generator plays the note without cancelling its sum
// and says so with false.
TEST_P(BusyGeneratorTest, NoteLongerThanTenSecondsPlaysButLogsTheFailure) {
    ASSERT_TRUE(OpenAndInit());
    const uint32_t countBefore = noteCount;
    GetParam().note(250.0, 12.5, 0);
    EXPECT_TRUE((*GetParam().generator)->bSineActive);
    EXPECT_EQ(LinesAfter("CreatePrimaryBuffer success!"),
              (Lines{std::string("Failed: pSineGenerator") + GetParam().name + "->PlaySineWav",
                     "frequency: 250.000000", "seconds: 12.500000", "noteCount: " + std::to_string(countBefore + 1)}));
}

INSTANTIATE_TEST_SUITE_P(Channels, BusyGeneratorTest,
                         ::testing::Values(Channel{"A", ASIOGenerateSineWavA, &pSineGeneratorA},
                                           Channel{"B", ASIOGenerateSineWavB, &pSineGeneratorB}),
                         [](const auto& info) { return std::string(info.param.name); });

// A ten-second note is computed once before it is handed over, which takes
// long enough for the stopwatch to see; the export's result cannot exceed
// the time the whole call took.
TEST_F(NoteRequestTest, NoteExportReturnsThePreparationTime) {
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavB(440.0, 0.1, 0);  // starts the driver outside the measured call
    const auto begin = std::chrono::steady_clock::now();
    const uint32_t returned = ASIOGenerateSineWavA(440.0, 10.0, 0);
    const auto spent =
        std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GT(returned, 0u);
    EXPECT_LE(returned, static_cast<uint64_t>(spent) + 1);
    EXPECT_GE(returned, static_cast<uint64_t>(spent) / 2) << "spent " << spent << " us";
}

TEST_F(NoteRequestTest, SweepsAreNotCounted) {
    ASSERT_TRUE(OpenAndInit());
    const uint32_t countBefore = noteCount;
    ASIOGenerateSweepWavA(100.0, 1000.0, 0.5, 0);
    ASIOGenerateSweepWavB(1000.0, 100.0, 0.5, 0);
    // A sweep request to a sweeping generator restarts it, uncounted too.
    ASIOGenerateSweepWavA(100.0, 1000.0, 0.5, 0);
    EXPECT_EQ(noteCount, countBefore);
    EXPECT_TRUE(pSineGeneratorA->bSweepActive);
    EXPECT_TRUE(pSineGeneratorB->bSweepActive);
}

TEST_F(NoteRequestTest, ValidRequestsWithoutASessionWriteNothingAndDoNotCount) {
    ASSERT_TRUE(ASIOOpenDriver());
    const uint32_t countBefore = noteCount;
    const Lines before = tonegate_test::CurrentRunLines();
    for (const Request& request : kRequests) EXPECT_EQ(request.send(), 0u) << request.name;
    // Likewise after a refused initialisation.
    script().outputChannels = 0;
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    const Lines afterInit = tonegate_test::CurrentRunLines();
    for (const Request& request : kRequests) EXPECT_EQ(request.send(), 0u) << request.name;
    EXPECT_EQ(tonegate_test::CurrentRunLines(), afterInit);
    EXPECT_EQ(Lines(afterInit.begin(), afterInit.begin() + static_cast<long>(before.size())), before);
    EXPECT_EQ(afterInit[before.size()], "Total num devices found: 1");
    EXPECT_EQ(noteCount, countBefore);
    EXPECT_EQ(Starts(), 0);
}

}  // namespace
