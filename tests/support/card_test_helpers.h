// Test support around the scriptable test card: its control block loaded and
// wiped, a class id per card index, the card of an index, the check that
// every reference came back, and the fixture of a case over the card.
// Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/scoped_registry.h"
#include "support/temp_dir.h"
#include "support/test_card/test_card.h"

namespace tonegate_test {

// The card module's control block with every slot free, or null when the
// module does not load.
inline tonegate_test_card::Control* FreshCardControl() {
    tonegate_test_card::Control* control = tonegate_test_card::OpenControl(TONEGATE_TEST_CARD_PATH);
    if (control != nullptr) *control = tonegate_test_card::Control{};
    return control;
}

// A distinct class id for each card index.
inline std::string CardClassText(int index) {
    char text[39];
    std::snprintf(text, sizeof text, "{7D0C1157-0000-4000-8000-0000000000%02X}", index & 0xFF);
    return text;
}

inline const tonegate_test_card::Card* CardOf(tonegate_test_card::Control* control, int index) {
    return tonegate_test_card::FindCard(control, ClsidOf(CardClassText(index)));
}

// -1 when the card of that index was never instantiated.
inline int LiveObjects(tonegate_test_card::Control* control, int index) {
    const tonegate_test_card::Card* card = CardOf(control, index);
    return card != nullptr ? card->record.liveObjects : -1;
}

// Every reference the card handed out has come back: the one it was created
// with and one for each AddRef.
inline void ExpectAllReleased(const tonegate_test_card::Card* card) {
    ASSERT_NE(card, nullptr);
    EXPECT_EQ(card->record.releases, card->record.addRefs + 1);
    EXPECT_EQ(card->record.liveObjects, 0);
}

// A case over the test card: a fresh working directory, a private registry
// and the card's control block wiped.
class CardTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_NE(control_ = FreshCardControl(), nullptr); }

    const tonegate_test_card::Card* CardOf(int index) const { return tonegate_test::CardOf(control_, index); }
    int LiveObjects(int index) const { return tonegate_test::LiveObjects(control_, index); }

    ScopedWorkingDirectory workingDirectory_;
    ScopedRegistry registry_;
    tonegate_test_card::Control* control_ = nullptr;
};

}  // namespace tonegate_test
