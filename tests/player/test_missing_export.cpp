// Tests of the player against a stand-in library that lacks one export,
// built once per missing export: without an entry the player calls, start-up
// fails with the one message box before any call, and the clean-up still
// closes the driver; without ASIOGetSampleRate, which the player never
// calls, it plays as usual. Thread: the test's own.
#include <gtest/gtest.h>

#include <algorithm>

#include "player/library_binding.h"
#include "player_harness.h"

namespace {

using namespace player_test;

TEST(MissingExport, IsBoundAsNullAndLoadStillSucceeds) {
    StartRecording();
    LibraryBinding binding;
    EXPECT_TRUE(binding.IsLoaded());
#ifdef STANDIN_WITHOUT_SWEEP_B
    EXPECT_EQ(binding.pASIOGenerateSweepWavB, nullptr);
    EXPECT_NE(binding.pASIOGetSampleRate, nullptr);
#else
    EXPECT_EQ(binding.pASIOGetSampleRate, nullptr);
    EXPECT_NE(binding.pASIOGenerateSweepWavB, nullptr);
#endif
    binding.Unload();
}

TEST(MissingExport, ThePlayerRunsOnlyWithEveryEntryItCalls) {
    StartRecording();
    int exitCode = -1;
    const std::string printed = RunPlayer({'x'}, &exitCode);
    EXPECT_EQ(exitCode, 0);
#ifdef STANDIN_WITHOUT_SWEEP_B
    EXPECT_EQ(printed, "A simple DOS Tonegate application\n");
    EXPECT_EQ(RecordedLog(), (Log{"loaded",
                                  "MessageBox desktop Quillet: Can't interface with an ASIO driver, or can't find "
                                  "Tonegate.dll - Exiting!! 48",
                                  "ASIOCloseDriver", "released"}));
#else
    EXPECT_NE(printed.find("Hit 'P'"), std::string::npos);
    EXPECT_EQ(RecordedLog().back(), "released");
    EXPECT_EQ(std::count(RecordedLog().begin(), RecordedLog().end(), "ASIOGenerateSweepWavB 100/10000/0.5/24"), 1);
#endif
}

}  // namespace
