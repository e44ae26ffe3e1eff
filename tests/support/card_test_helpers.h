// Test support around the scriptable test card: a class id per card index,
// the card of an index, and the check that every reference came back.
// Thread: the test's own.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "support/scoped_registry.h"
#include "support/test_card/test_card.h"

namespace tonegate_test {

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

}  // namespace tonegate_test
