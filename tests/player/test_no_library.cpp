// Tests of the player with no Tonegate library anywhere it looks: one
// message box, nothing looked up, nothing closed or freed, no ending.
// Thread: the test's own.
#include <gtest/gtest.h>

#include "player/library_binding.h"
#include "player_harness.h"

namespace {

using namespace player_test;

TEST(NoLibrary, ShowsTheMessageBoxOnceAndEndsAtOnce) {
    StartRecording();
    int exitCode = -1;
    EXPECT_EQ(RunPlayer({}, &exitCode), "A simple DOS Tonegate application\n");
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(RecordedLog(), (Log{"MessageBox desktop Quillet: Can't interface with an ASIO driver, or can't find "
                                  "Tonegate.dll - Exiting!! 48"}));
    EXPECT_EQ(pLibrary, nullptr);
}

TEST(NoLibrary, TheBindingStaysUnloadedWithNoEntryBound) {
    StartRecording();
    LibraryBinding* binding = nullptr;
    EXPECT_FALSE(LibraryBinding::Create(binding, GetDesktopWindow(), "Quillet"));
    ASSERT_NE(binding, nullptr);
    EXPECT_FALSE(binding->IsLoaded());
    EXPECT_EQ(binding->hLibrary, nullptr);
    EXPECT_EQ(binding->pASIOOpenDriver, nullptr);
    EXPECT_EQ(binding->pASIOCloseDriver, nullptr);
    EXPECT_FALSE(binding->Unload());
    delete binding;
    EXPECT_EQ(RecordedLog().size(), 1u);
}

}  // namespace
