// Test support: a session over the scriptable test card, registered as the
// only driver in a private registry, in a fresh working directory. A test
// edits the card's script, opens and initialises through the real exports,
// pumps buffer switches and reads the log and the card's record.
// Thread: the test's own (and whatever threads the test starts).
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "host/library_state.h"
#include "host/tonegate.h"
#include "support/card_test_helpers.h"
#include "support/log_reader.h"
#include "support/test_card/test_card.h"
#include "synth/sine_generator.h"

namespace tonegate_test {

class SessionTest : public CardTest {
protected:
    void SetUp() override {
        CardTest::SetUp();
        if (HasFatalFailure()) return;
        registry_.AddDriver("Test Card", CardClassText(0), TONEGATE_TEST_CARD_PATH);
        card_ = tonegate_test_card::ClaimCard(control_, ClsidOf(CardClassText(0)));
        ASSERT_NE(card_, nullptr);
    }
    void TearDown() override { ASIOCloseDriver(); }

    tonegate_test_card::Script& script() { return card_->script; }
    tonegate_test_card::Record& record() { return card_->record; }

    // Opens the card and initialises the session on it.
    bool OpenAndInit() { return ASIOOpenDriver() && ASIOSystemInit(GetDesktopWindow()); }

    // The log lines of the current run from the first line equal to `from`
    // on; empty when there is no such line.
    static std::vector<std::string> LinesFrom(const std::string& from) {
        std::vector<std::string> lines = CurrentRunLines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i] == from) return std::vector<std::string>(lines.begin() + static_cast<long>(i), lines.end());
        return {};
    }

    // One buffer switch into the host, as the running card would make it.
    bool Pump(int32_t index) { return tonegate_test_card::PumpBufferSwitch(*card_, index); }

    // Whether channel A's next half, pumped now, begins as a 32-bit note of
    // these figures does on a fresh generator at `rate`.
    bool NextHalfBeginsAs(double rate, double frequency, double seconds, uint32_t attenuation) {
        SineGenerator reference(static_cast<uint32_t>(asioDriverInfo.preferredSize), false);
        if (!reference.PlaySineWav(rate, frequency, seconds, attenuation)) return false;
        std::vector<int32_t> expected(static_cast<size_t>(asioDriverInfo.preferredSize));
        reference.RenderSine32(expected.data(), nullptr);
        return Pump(0) && std::equal(expected.begin(), expected.end(), Half<int32_t>(0, 0));
    }

    // Channel `channel`'s half `index` as the card handed it out.
    template <typename Sample>
    const Sample* Half(int channel, int index) const {
        return static_cast<const Sample*>(card_->record.buffers[channel].halves[index]);
    }

    tonegate_test_card::Card* card_ = nullptr;
};

}  // namespace tonegate_test
