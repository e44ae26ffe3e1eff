// Session setup and teardown through the exports: the driver survey and its
// log lines, every way ASIOSystemInit can refuse a card and the teardown that
// follows, a second initialisation, and the order in which ASIOCloseDriver
// ends a session. Thread: the test's own.
#include <gtest/gtest.h>

#include <algorithm>
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
using Operations = std::vector<Operation>;

constexpr const char* kInitFailed = "!pASIOBuffers->bInitSuccess";
constexpr const char* kInitSucceeded = "pASIOBuffers->bInitSuccess";
constexpr const char* kOutputBuffers = "asioDriverInfo.outputBuffers to activate: 2";
constexpr const char* kBuffersFailed = "We failed to create the buffers we asked for, there was some problem.";
constexpr const char* kFormatChanged = "Internal format of these buffers didn't turn out to be what we thought!";

std::string ChannelLine(int channel, int group, const std::string& type) {
    return "Channel: " + std::to_string(channel) + " - Group: " + std::to_string(group) + " - Out " +
           std::to_string(channel + 1) + ", ASIO sample type: " + type;
}

// What the teardown writes last.
Lines FinalCount() { return {"", "Final noteCount: " + std::to_string(static_cast<int32_t>(noteCount))}; }

Lines Join(Lines first, const Lines& second) {
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

Operations OperationsOf(const Record& record) {
    Operations operations;
    for (int i = 0; i < std::min(record.callCount, kMaxCalls); ++i) operations.push_back(record.calls[i].operation);
    return operations;
}

// The default card's survey from "Channels available..." to the format check.
Lines TwoChannelSurvey(const std::string& type0, const std::string& type1) {
    return {"Channels available...",
            ChannelLine(0, 0, type0),
            ChannelLine(1, 0, type1),
            "Num first group output channels: 2",
            "First group output ASIO sample type: " + type0};
}

class SessionSetupTest : public tonegate_test::SessionTest {
protected:
    // Initialises, expects a refusal and closes the run, so the teardown's
    // lines are in the log.
    void InitExpectingRefusal() {
        ASSERT_TRUE(ASIOOpenDriver());
        EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
        EXPECT_EQ(pASIOBuffers, nullptr);
        EXPECT_EQ(pSineGeneratorA, nullptr);
        EXPECT_EQ(pSineGeneratorB, nullptr);
        finalCount_ = FinalCount();
        ASIOCloseDriver();
    }
    // The card's calls from the teardown: stop always, then disposeBuffers
    // only when buffers were created, and nothing else.
    void ExpectTeardownCalls(bool disposes) {
        const Operations all = OperationsOf(record());
        const Operations expected = disposes ? Operations{Operation::Stop, Operation::DisposeBuffers}
                                             : Operations{Operation::Stop};
        ASSERT_GE(all.size(), expected.size());
        EXPECT_EQ(Operations(all.end() - static_cast<long>(expected.size()), all.end()), expected);
        EXPECT_EQ(std::count(all.begin(), all.end(), Operation::Stop), 1);
        EXPECT_EQ(std::count(all.begin(), all.end(), Operation::DisposeBuffers), disposes ? 1 : 0);
    }
    // `count` lines of the current run from the first equal to `from`.
    static Lines FirstLinesFrom(const std::string& from, size_t count) {
        Lines lines = LinesFrom(from);
        lines.resize(std::min(lines.size(), count));
        return lines;
    }
    Lines finalCount_;
};

TEST_F(SessionSetupTest, SurveyOfAWorkingCardIsLoggedLineByLine) {
    ASSERT_TRUE(OpenAndInit());
    const Lines lines = LinesFrom("Total num devices found: 1");
    ASSERT_GE(lines.size(), 10u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5),
              (Lines{"Total num devices found: 1", "Diver selected...", "Test Card", TONEGATE_TEST_CARD_PATH, ""}));
    // Three banner lines, the first naming the version; then the window's
    // title, which the desktop does not have, and the command line.
    EXPECT_NE(lines[5].find("2.10"), std::string::npos) << lines[5];
    EXPECT_FALSE(lines[6].empty());
    EXPECT_FALSE(lines[7].empty());
    EXPECT_EQ(lines[8], "");
    EXPECT_EQ(lines[9], GetCommandLineA());
    EXPECT_NE(lines[9].find("test_session_setup"), std::string::npos) << lines[9];
    const Lines expected = Join({"Tonegate Test Card", "lnDrvrVer: 1", "numInputChannels: 0, numOutputChannels: 2",
                                 "inputLatency: 0, outputLatency: 256", "minSize: 32, maxSize: 4096",
                                 "preferredSize: 256, granularity: -1", "sampleRate: 48000"},
                                Join(TwoChannelSurvey("ASIOSTInt32LSB", "ASIOSTInt32LSB"),
                                     {"bOutputReady = true", kInitSucceeded, kOutputBuffers,
                                      "32 Bit Snd Card detected",
                                      "asioDriverInfo.inputLatency: 0, asioDriverInfo.outputLatency: 256",
                                      "CreatePrimaryBuffer success!"}));
    EXPECT_EQ(Lines(lines.begin() + 10, lines.end()), expected);
    EXPECT_TRUE(asioDriverInfo.bOutputReady);
    EXPECT_FALSE(b16BitCard);
    EXPECT_EQ(record().createBuffersChannels, 2);
    EXPECT_EQ(record().createBuffersSize, 256);
}

// One refused card: what it changes in the default script, where its
// expected lines begin, the lines up to the teardown's, and whether buffers
// were created and so must be disposed of.
struct Refusal {
    const char* name;
    void (*edit)(Script&);
    const char* firstLine;
    Lines lines;
    bool disposes;
};

void PrintTo(const Refusal& refusal, std::ostream* out) { *out << refusal.name; }

class SetupRefusalTest : public SessionSetupTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(SetupRefusalTest, LogsItsReasonThenTearsDown) {
    GetParam().edit(script());
    InitExpectingRefusal();
    EXPECT_EQ(LinesFrom(GetParam().firstLine), Join(GetParam().lines, finalCount_));
    ExpectTeardownCalls(GetParam().disposes);
}

const Refusal kRefusals[] = {
    {"InitFails",
     [](Script& s) {
         s.initResult = ASIOFalse;
         SetText(s.errorMessage, "No hardware found");
     },
     GetCommandLineA(), {GetCommandLineA(), kInitFailed, "No hardware found"}, false},
    {"NoOutputChannel", [](Script& s) { s.outputChannels = 0; }, "Channels available...",
     {"Channels available...", "There doesn't seem to be any analog I/O channels!", kInitFailed, ""}, false},
    {"FloatFirstChannel", [](Script& s) { s.outputs[0].type = ASIOSTFloat32LSB; }, "Channels available...",
     Join(TwoChannelSurvey("ASIOSTFloat32LSB", "ASIOSTInt32LSB"),
          {"Can't support sound card's internal format!", kInitFailed, ""}),
     false},
    {"BigEndian16BitFirstChannel", [](Script& s) { s.outputs[0].type = ASIOSTInt16MSB; }, "Channels available...",
     Join(TwoChannelSurvey("ASIOSTInt16MSB", "ASIOSTInt32LSB"),
          {"Can't support sound card's internal format!", kInitFailed, ""}),
     false},
    {"Packed24BitFirstChannel", [](Script& s) { s.outputs[0].type = ASIOSTInt24LSB; }, "Channels available...",
     Join(TwoChannelSurvey("ASIOSTInt24LSB", "ASIOSTInt32LSB"),
          {"Can't support sound card's internal format!", kInitFailed, ""}),
     false},
    {"CreateBuffersFails", [](Script& s) { s.createBuffersResult = ASE_InvalidParameter; }, kInitSucceeded,
     {kInitSucceeded, kOutputBuffers, "ptrASIO->createBuffers failed!"}, false},
    {"FirstChannelInactive", [](Script& s) { s.outputs[0].isActive = ASIOFalse; }, kInitSucceeded,
     {kInitSucceeded, kOutputBuffers, kBuffersFailed}, false},
    // Active means exactly 1.
    {"FirstChannelActiveIsTwo", [](Script& s) { s.outputs[0].isActive = 2; }, kInitSucceeded,
     {kInitSucceeded, kOutputBuffers, kBuffersFailed}, false},
    {"FirstChannelNotReadBack", [](Script& s) { s.outputs[0].result = ASE_NotPresent; }, kInitSucceeded,
     {kInitSucceeded, kOutputBuffers, kBuffersFailed}, false},
    // Channel A was confirmed, so the buffers exist.
    {"SecondChannelInactive", [](Script& s) { s.outputs[1].isActive = ASIOFalse; }, kInitSucceeded,
     {kInitSucceeded, kOutputBuffers, kBuffersFailed}, true},
    {"SecondChannelOfAnotherType", [](Script& s) { s.outputs[1].type = ASIOSTFloat32LSB; }, kInitSucceeded,
     {kInitSucceeded, kOutputBuffers, kFormatChanged, kBuffersFailed}, true},
    {"SecondChannel32BitOn16BitCard",
     [](Script& s) {
         s.outputs[0].type = ASIOSTInt16LSB;
         s.outputs[1].type = ASIOSTInt32LSB;
     },
     kInitSucceeded, {kInitSucceeded, kOutputBuffers, kFormatChanged, kBuffersFailed}, true},
};

INSTANTIATE_TEST_SUITE_P(Cards, SetupRefusalTest, ::testing::ValuesIn(kRefusals),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(SessionSetupTest, RefusedInitDoesNotSurveyTheCard) {
    script().initResult = ASIOFalse;
    InitExpectingRefusal();
    EXPECT_EQ(OperationsOf(record()), (Operations{Operation::Init, Operation::GetErrorMessage, Operation::Stop}));
}

// The card's only class re-registered at a module that is missing (the list
// skips the driver) or is not a module (opening it fails): either way no
// driver is open while the log is.
class NoOpenDriverTest : public SessionSetupTest, public ::testing::WithParamInterface<bool> {};

TEST_P(NoOpenDriverTest, InitWritesNothing) {
    const bool moduleExists = GetParam();
    const std::string module = (workingDirectory_.path() / "not_a_module.so").string();
    if (moduleExists) tonegate_test::WriteFile(module, "plain text");
    registry_.AddClass(tonegate_test::CardClassText(0), module);
    EXPECT_FALSE(ASIOOpenDriver());
    const Lines before = tonegate_test::CurrentRunLines();
    ASSERT_FALSE(before.empty());
    EXPECT_EQ(before.back(), moduleExists ? "asioOpenDriver failed!" : "Couldn't find any ASIO drivers!");
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_EQ(tonegate_test::CurrentRunLines(), before);
    EXPECT_EQ(pASIOBuffers, nullptr);
}

INSTANTIATE_TEST_SUITE_P(Modules, NoOpenDriverTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "NotAModule" : "Missing"; });

TEST_F(SessionSetupTest, SecondInitWhileASessionExistsIsRefused) {
    ASSERT_TRUE(OpenAndInit());
    HostSession* const session = pASIOBuffers;
    SineGenerator* const generator = pSineGeneratorA;
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    EXPECT_EQ(LinesFrom("CreatePrimaryBuffer success!"),
              (Lines{"CreatePrimaryBuffer success!", "Failed: ASIOSystemInit - ASIO system already initialized!"}));
    EXPECT_EQ(pASIOBuffers, session);
    EXPECT_EQ(pSineGeneratorA, generator);
    EXPECT_EQ(CountCalls(*card_, Operation::Init), 1);
    EXPECT_EQ(CountCalls(*card_, Operation::Stop), 0);
    EXPECT_NE(ASIOGenerateSineWavA(440.0, 0.1, 0), 0u);
}

TEST_F(SessionSetupTest, InitAfterARefusedOneBuildsANewSession) {
    script().outputs[0].type = ASIOSTFloat32LSB;
    ASSERT_TRUE(ASIOOpenDriver());
    EXPECT_FALSE(ASIOSystemInit(GetDesktopWindow()));
    script().outputs[0].type = ASIOSTInt32LSB;
    EXPECT_TRUE(ASIOSystemInit(GetDesktopWindow()));
    ASSERT_NE(pASIOBuffers, nullptr);
    EXPECT_TRUE(pASIOBuffers->bInitSuccess);
    EXPECT_EQ(CountCalls(*card_, Operation::Init), 2);
    const Lines second = LinesFrom(ChannelLine(0, 0, "ASIOSTInt32LSB"));
    ASSERT_FALSE(second.empty());
    EXPECT_EQ(second.back(), "CreatePrimaryBuffer success!");
    const Lines all = tonegate_test::CurrentRunLines();
    EXPECT_EQ(std::count(all.begin(), all.end(), "Total num devices found: 1"), 2);
}

// Four outputs in groups 0, 0, 1, 0: three share channel 0's group, and the
// count changes nothing.
class FirstGroupTest : public SessionSetupTest, public ::testing::WithParamInterface<ASIOSampleType> {};

TEST_P(FirstGroupTest, CountsChannelsOfTheFirstGroupAndAccepts) {
    script().outputChannels = 4;
    const int groups[] = {0, 0, 1, 0};
    for (int i = 0; i < 4; ++i) {
        script().outputs[i].channelGroup = groups[i];
        script().outputs[i].type = GetParam();
    }
    ASSERT_TRUE(OpenAndInit());
    const std::string type = GetParam() == ASIOSTInt16LSB ? "ASIOSTInt16LSB" : "ASIOSTInt32LSB";
    EXPECT_EQ(LinesFrom("Channels available..."),
              (Lines{"Channels available...", ChannelLine(0, 0, type), ChannelLine(1, 0, type),
                     ChannelLine(2, 1, type), ChannelLine(3, 0, type), "Num first group output channels: 3",
                     "First group output ASIO sample type: " + type, "bOutputReady = true", kInitSucceeded,
                     kOutputBuffers,
                     GetParam() == ASIOSTInt16LSB ? "16 Bit Snd Card detected" : "32 Bit Snd Card detected",
                     "asioDriverInfo.inputLatency: 0, asioDriverInfo.outputLatency: 256",
                     "CreatePrimaryBuffer success!"}));
    EXPECT_EQ(b16BitCard, GetParam() == ASIOSTInt16LSB);
    ASSERT_NE(pSineGeneratorA, nullptr);
    // The generators' full level is the card's format's.
    EXPECT_EQ(pSineGeneratorA->AmplitudeForAttenuation(0), GetParam() == ASIOSTInt16LSB ? 32765.0 : 2147483645.0);
    EXPECT_EQ(record().createBuffersChannels, 2);
}

INSTANTIATE_TEST_SUITE_P(Formats, FirstGroupTest, ::testing::Values(ASIOSTInt16LSB, ASIOSTInt32LSB));

struct TypeName {
    ASIOSampleType type;
    const char* name;
};

void PrintTo(const TypeName& type, std::ostream* out) { *out << type.type; }

class SampleTypeNameTest : public SessionSetupTest, public ::testing::WithParamInterface<TypeName> {};

TEST_P(SampleTypeNameTest, NamesTheTypeInTheChannelLine) {
    script().outputs[1].type = GetParam().type;
    ASSERT_TRUE(ASIOOpenDriver());
    ASIOSystemInit(GetDesktopWindow());
    const Lines lines = LinesFrom(ChannelLine(0, 0, "ASIOSTInt32LSB"));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1], ChannelLine(1, 0, GetParam().name));
}

INSTANTIATE_TEST_SUITE_P(
    Types, SampleTypeNameTest,
    ::testing::Values(TypeName{0, "ASIOSTInt16MSB"}, TypeName{1, "ASIOSTInt24MSB"}, TypeName{2, "ASIOSTInt32MSB"},
                      TypeName{3, "ASIOSTFloat32MSB"}, TypeName{4, "ASIOSTFloat64MSB"},
                      TypeName{8, "ASIOSTInt32MSB16"}, TypeName{9, "ASIOSTInt32MSB18"},
                      TypeName{10, "ASIOSTInt32MSB20"}, TypeName{11, "ASIOSTInt32MSB24"},
                      TypeName{16, "ASIOSTInt16LSB"}, TypeName{17, "ASIOSTInt24LSB"}, TypeName{18, "ASIOSTInt32LSB"},
                      TypeName{19, "ASIOSTFloat32LSB"}, TypeName{20, "ASIOSTFloat64LSB"},
                      TypeName{24, "ASIOSTInt32LSB16"}, TypeName{25, "ASIOSTInt32LSB18"},
                      TypeName{26, "ASIOSTInt32LSB20"}, TypeName{27, "ASIOSTInt32LSB24"},
                      TypeName{5, "Unknown format"}, TypeName{21, "Unknown format"}, TypeName{28, "Unknown format"},
                      TypeName{-1, "Unknown format"}),
    [](const auto& info) {
        const int type = info.param.type;
        return "Value" + (type < 0 ? "Minus" + std::to_string(-type) : std::to_string(type));
    });

TEST_F(SessionSetupTest, RefusedOutputReadyProbeIsRemembered) {
    script().outputReadyResult = ASE_NotPresent;
    ASSERT_TRUE(OpenAndInit());
    EXPECT_EQ(FirstLinesFrom("First group output ASIO sample type: ASIOSTInt32LSB", 3),
              (Lines{"First group output ASIO sample type: ASIOSTInt32LSB", "bOutputReady = false", kInitSucceeded}));
    EXPECT_FALSE(asioDriverInfo.bOutputReady);
    EXPECT_EQ(CountCalls(*card_, Operation::OutputReady), 1);
}

TEST_F(SessionSetupTest, FractionalRateIsLoggedWithoutItsFraction) {
    script().sampleRate = 44100.7;
    ASSERT_TRUE(OpenAndInit());
    EXPECT_EQ(FirstLinesFrom("preferredSize: 256, granularity: -1", 3),
              (Lines{"preferredSize: 256, granularity: -1", "sampleRate: 44100", "Channels available..."}));
    EXPECT_EQ(asioDriverInfo.sampleRate, 44100.7);
}

TEST_F(SessionSetupTest, DriverSelectedLinesNameDriverZeroWhicheverIsOpened) {
    registry_.AddDriver("Test Card 2", tonegate_test::CardClassText(1), TONEGATE_TEST_CARD_PATH);
    registry_.AddDriver("Test Card 3", tonegate_test::CardClassText(2), TONEGATE_TEST_CARD_PATH);
    Card* third = ClaimCard(control_, tonegate_test::ClsidOf(tonegate_test::CardClassText(2)));
    ASSERT_NE(third, nullptr);
    SetText(third->script.driverName, "Third Card");
    tonegate_test::WriteFile("ASIOConfig.txt", "2");
    ASSERT_TRUE(OpenAndInit());
    EXPECT_EQ(CountCalls(*third, Operation::Init), 1);
    EXPECT_EQ(CountCalls(*card_, Operation::Init), 0);
    const Lines lines = LinesFrom("Total num devices found: 3");
    ASSERT_GE(lines.size(), 11u);
    EXPECT_EQ(Lines(lines.begin(), lines.begin() + 5),
              (Lines{"Total num devices found: 3", "Diver selected...", "Test Card", TONEGATE_TEST_CARD_PATH, ""}));
    EXPECT_EQ(lines[10], "Third Card");
}

TEST_F(SessionSetupTest, FailingLatenciesAfterCreateBuffersWriteNoLatencyLine) {
    script().latenciesResult = ASE_NotPresent;
    ASSERT_TRUE(OpenAndInit());
    // The survey does not judge the result and logs what the card wrote.
    EXPECT_EQ(FirstLinesFrom("numInputChannels: 0, numOutputChannels: 2", 2),
              (Lines{"numInputChannels: 0, numOutputChannels: 2", "inputLatency: 0, outputLatency: 256"}));
    EXPECT_EQ(LinesFrom("32 Bit Snd Card detected"),
              (Lines{"32 Bit Snd Card detected", "CreatePrimaryBuffer success!"}));
    EXPECT_EQ(CountCalls(*card_, Operation::GetLatencies), 2);
}

TEST_F(SessionSetupTest, CloseStopsThenDisposesThenReleasesTheCard) {
    ASSERT_TRUE(OpenAndInit());
    ASSERT_NE(ASIOGenerateSineWavA(440.0, 0.1, 0), 0u);
    const Lines finalCount = FinalCount();
    const int callsBeforeClose = record().callCount;
    EXPECT_EQ(ASIOCloseDriver(), 0);
    const Operations all = OperationsOf(record());
    EXPECT_EQ(Operations(all.begin() + callsBeforeClose, all.end()),
              (Operations{Operation::Stop, Operation::DisposeBuffers}));
    tonegate_test::ExpectAllReleased(card_);
    EXPECT_EQ(record().brokenGuardsAtDispose, 0);
    EXPECT_EQ(pSineGeneratorA, nullptr);
    EXPECT_EQ(pSineGeneratorB, nullptr);
    // The count is the run's last line, right before the footer.
    const Lines file = tonegate_test::SplitLines(tonegate_test::ReadFile("Dbg.Log"));
    ASSERT_GE(file.size(), 7u);
    EXPECT_EQ(Lines(file.end() - 7, file.end() - 3), Join(finalCount, {"", ""}));
    EXPECT_EQ(file.end()[-3], "Shutting down debug logging system...");
}

TEST_F(SessionSetupTest, NoteCountKeepsCountingAcrossRuns) {
    const uint32_t before = noteCount;
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavA(440.0, 0.1, 0);
    ASIOCloseDriver();
    EXPECT_EQ(tonegate_test::CurrentRunLines().back(), "Final noteCount: " + std::to_string(before + 1));
    ASSERT_TRUE(OpenAndInit());
    ASIOGenerateSineWavB(440.0, 0.1, 0);
    ASIOCloseDriver();
    EXPECT_EQ(tonegate_test::CurrentRunLines().back(), "Final noteCount: " + std::to_string(before + 2));
}

}  // namespace
