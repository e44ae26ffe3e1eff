// Tests of the player's library binding against the stand-in library:
// binding the ten exports, the start-up that stops at its first failure
// with one message box, and the release that closes the driver before
// freeing the library. Thread: the test's own.
#include <gtest/gtest.h>

#include "player/library_binding.h"
#include "player_harness.h"

namespace {

using namespace player_test;

const std::string kMessageBox =
    "MessageBox desktop Quillet: Can't interface with an ASIO driver, or can't find Tonegate.dll - Exiting!! 48";

class Binding : public ::testing::Test {
protected:
    void SetUp() override { StartRecording(); }
    void TearDown() override { delete binding; }
    bool Create() { return LibraryBinding::Create(binding, GetDesktopWindow(), "Quillet"); }
    LibraryBinding* binding = nullptr;
};

TEST_F(Binding, BindsAllTenExportsAndGetsReady) {
    ASSERT_TRUE(Create());
    ASSERT_NE(binding, nullptr);
    EXPECT_TRUE(binding->IsLoaded());
    EXPECT_NE(binding->hLibrary, nullptr);
    for (bool bound : {binding->pASIOOpenDriver != nullptr, binding->pASIOSystemInit != nullptr,
                       binding->pASIOCloseDriver != nullptr, binding->pASIOEnableWav != nullptr,
                       binding->pASIOSetSampleRate != nullptr, binding->pASIOGetSampleRate != nullptr,
                       binding->pASIOGenerateSineWavA != nullptr, binding->pASIOGenerateSineWavB != nullptr,
                       binding->pASIOGenerateSweepWavA != nullptr, binding->pASIOGenerateSweepWavB != nullptr})
        EXPECT_TRUE(bound);
    // Each entry reaches its own export.
    binding->pASIOGetSampleRate();
    binding->pASIOGenerateSweepWavB(20, 30, 0.1, 3);
    EXPECT_EQ(RecordedLog(), (Log{"loaded", "ASIOOpenDriver", "ASIOSystemInit desktop", "ASIOGetSampleRate",
                                  "ASIOGenerateSweepWavB 20/30/0.1/3"}));
}

TEST_F(Binding, ADriverThatDoesNotOpenSkipsInitAndIsStillClosedOnRelease) {
    Script().openDriver = false;
    EXPECT_FALSE(Create());
    ASSERT_NE(binding, nullptr) << "the binding is handed back for the clean-up";
    EXPECT_EQ(RecordedLog(), (Log{"loaded", "ASIOOpenDriver", kMessageBox}));
    EXPECT_TRUE(binding->Unload());
    EXPECT_EQ(RecordedLog(), (Log{"loaded", "ASIOOpenDriver", kMessageBox, "ASIOCloseDriver", "released"}));
}

TEST_F(Binding, AFailedInitIsClosedOnceThenTheLibraryIsFreed) {
    Script().systemInit = false;
    EXPECT_FALSE(Create());
    ASSERT_NE(binding, nullptr);
    EXPECT_TRUE(binding->Unload());
    EXPECT_EQ(RecordedLog(), (Log{"loaded", "ASIOOpenDriver", "ASIOSystemInit desktop", kMessageBox,
                                  "ASIOCloseDriver", "released"}));
}

TEST_F(Binding, UnloadTwiceReleasesOnce) {
    ASSERT_TRUE(Create());
    EXPECT_TRUE(binding->Unload());
    EXPECT_EQ(binding->hLibrary, nullptr);
    EXPECT_FALSE(binding->Unload());
    EXPECT_EQ(RecordedLog(), (Log{"loaded", "ASIOOpenDriver", "ASIOSystemInit desktop", "ASIOCloseDriver", "released"}));
}

}  // namespace
