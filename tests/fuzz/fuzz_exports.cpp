// Fuzz target: the ten exports with arbitrary arguments against the test card,
// which this target pumps itself (no card thread). Each input is one run:
// the card's buffer size, format and starting rate, then requests (notes and
// sweeps with arbitrary doubles and attenuations on either channel, output
// toggles, sample rates, switches). A note that starts on an idle generator
// and gets the DC correction (up to 10 seconds) is played to its end at once:
// its samples must sum to exactly 0 (in 64 bits), it must last a whole number
// of cycles (within two samples), ending in their block, and be silent after
// them. A fresh sweep must last its blocks and start and end on 0.
// Nothing may write outside the card's halves.
// The library's log files go to the working directory the fuzzer runs in.
// Thread: the fuzzer's own, which plays the card's real-time thread too.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "host/host_session.h"
#include "host/library_state.h"
#include "host/tonegate.h"
#include "support/card_test_helpers.h"
#include "support/scoped_registry.h"
#include "support/test_card/test_card.h"
#include "support/waiting.h"
#include "synth/sine_generator.h"

namespace {

using tonegate_test::Busy;

using tonegate_fuzz::InputReader;
using tonegate_fuzz::Require;
using tonegate_test_card::Card;

constexpr double kCardRates[] = {44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0};
constexpr int kMostRequests = 48;

// The driver's side: registry, card module and the card's slot, set up once.
struct Bench {
    Bench() {
        control = tonegate_test::FreshCardControl();
        Require(control != nullptr, "the card module loads");
        registry.AddDriver("Test Card", tonegate_test::CardClassText(0), TONEGATE_TEST_CARD_PATH);
        card = tonegate_test_card::ClaimCard(control, tonegate_test::ClsidOf(tonegate_test::CardClassText(0)));
        Require(card != nullptr, "the card has a slot");
    }
    tonegate_test::ScopedRegistry registry;
    tonegate_test_card::Control* control = nullptr;
    Card* card = nullptr;
};

// One switch's samples of one channel, as the card's halves hold them.
class Player {
public:
    Player(Card& card, int32_t frames, bool is16Bit) : card_(card), frames_(frames), is16Bit_(is16Bit) {}

    void Switch() {
        Require(tonegate_test_card::PumpBufferSwitch(card_, index_), "the running card switches");
        Require(tonegate_test_card::BuffersIntact(card_), "nothing is written outside the halves");
        last_ = index_;
        index_ ^= 1;
    }

    int32_t Sample(int channel, int32_t i) const {
        const void* half = card_.record.buffers[channel].halves[last_];
        if (is16Bit_) return static_cast<const int16_t*>(half)[i];
        return static_cast<const int32_t*>(half)[i];
    }

    int32_t frames() const { return frames_; }

private:
    Card& card_;
    const int32_t frames_;
    const bool is16Bit_;
    int32_t index_ = 0;
    int32_t last_ = 0;
};

// Plays the note just scheduled on `generator` (channel `channel`) to its end.
void PlayWholeNote(Player& player, SineGenerator& generator, int channel, double frequency, double seconds) {
    // Whole cycles: the rounded cycle count at the session's rate, within
    // the two samples that the split into ramps and the release's move take.
    const double cyclesAsked = frequency * seconds;
    const double cycles = std::floor(cyclesAsked) + (cyclesAsked - std::floor(cyclesAsked) >= 0.5 ? 1.0 : 0.0);
    const double wholeCycleSamples = std::floor(cycles * (asioDriverInfo.sampleRate / frequency));
    const double frames = player.frames();
    const double fewestBlocks = std::ceil((wholeCycleSamples - 2.0) / frames);
    const double mostBlocks = std::ceil((wholeCycleSamples + 2.0) / frames);

    ASIOEnableWav(true);
    int64_t sum = 0;
    double position = 0;
    double switches = 0;
    while (generator.bSineActive.load()) {
        Require(switches < mostBlocks, "the note ends in the block its whole cycles end in");
        player.Switch();
        ++switches;
        for (int32_t i = 0; i < player.frames(); ++i, ++position) {
            const int32_t sample = player.Sample(channel, i);
            sum += sample;
            if (position >= wholeCycleSamples + 2.0) Require(sample == 0, "silence after the note's last sample");
        }
    }
    Require(switches >= 2 && switches >= fewestBlocks, "the note lasts the blocks of its whole cycles");
    Require(sum == 0, "the note's samples sum to 0");
}

// Plays the sweep just started on `generator` to its end.
void PlayWholeSweep(Player& player, SineGenerator& generator, int channel, double seconds) {
    // Whole blocks, rounded, and the fade-out block.
    const double blocks = std::floor(asioDriverInfo.sampleRate * seconds / player.frames() + 0.5) + 1.0;
    Require(blocks >= 3, "a sweep lasts two blocks and its fade-out block at least");
    ASIOEnableWav(true);
    double switches = 0;
    while (generator.bSweepActive.load()) {
        Require(switches < blocks, "the sweep ends in its last block");
        player.Switch();
        if (switches == 0) Require(player.Sample(channel, 0) == 0, "a sweep starts on 0");
        ++switches;
    }
    Require(switches == blocks, "the sweep lasts its blocks");
    Require(player.Sample(channel, player.frames() - 1) == 0, "a sweep ends on 0");
}

void RequestNote(Player& player, InputReader& input, int channel) {
    const double frequency = input.Take<double>();
    const double seconds = input.Take<double>();
    const uint32_t attenuation = input.Take<uint32_t>();
    SineGenerator* generator = channel == 0 ? pSineGeneratorA : pSineGeneratorB;
    const bool idle = !Busy(generator);
    (channel == 0 ? ASIOGenerateSineWavA : ASIOGenerateSineWavB)(frequency, seconds, attenuation);
    if (idle && generator->bSineActive.load() && seconds <= 10.0)
        PlayWholeNote(player, *generator, channel, frequency, seconds);
}

void RequestSweep(Player& player, InputReader& input, int channel) {
    const double start = input.Take<double>();
    const double end = input.Take<double>();
    const double seconds = input.Take<double>();
    const uint32_t attenuation = input.Take<uint32_t>();
    SineGenerator* generator = channel == 0 ? pSineGeneratorA : pSineGeneratorB;
    const bool idle = !Busy(generator);
    (channel == 0 ? ASIOGenerateSweepWavA : ASIOGenerateSweepWavB)(start, end, seconds, attenuation);
    if (idle && generator->bSweepActive.load()) PlayWholeSweep(player, *generator, channel, seconds);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Bench bench;
    Card& card = *bench.card;
    InputReader input(data, size);

    // A card as real ones are: any power-of-two size it offers, one of the
    // two formats, the usual rates and no others.
    const uint8_t setup = input.Take<uint8_t>();
    const int32_t frames = 32 << (setup % 8);
    const bool is16Bit = (setup & 0x08) != 0;
    card.record = tonegate_test_card::Record{};
    card.script = tonegate_test_card::DefaultScript();
    card.script.preferredSize = frames;
    for (auto& output : card.script.outputs) output.type = is16Bit ? ASIOSTInt16LSB : ASIOSTInt32LSB;
    card.script.sampleRate = kCardRates[(setup >> 4) % 6];
    card.script.canSampleRateResult = ASE_NoClock;
    card.script.rateAnswerCount = 6;
    for (int i = 0; i < 6; ++i) card.script.rateAnswers[i] = {kCardRates[i], ASE_OK};

    Require(ASIOOpenDriver() && ASIOSystemInit(GetDesktopWindow()), "the session opens");
    Player player(card, frames, is16Bit);
    for (int request = 0; request < kMostRequests && !input.empty(); ++request) {
        switch (input.Take<uint8_t>() % 8) {
            case 0: RequestNote(player, input, 0); break;
            case 1: RequestNote(player, input, 1); break;
            case 2: RequestSweep(player, input, 0); break;
            case 3: RequestSweep(player, input, 1); break;
            case 4: ASIOEnableWav((input.Take<uint8_t>() & 1) != 0); break;
            case 5: ASIOSetSampleRate(input.Take<uint32_t>()); break;
            case 6: Require(ASIOGetSampleRate() == static_cast<int32_t>(card.script.sampleRate), "the card's rate"); break;
            default: {
                // Nothing starts the card but a request.
                const int count = input.Take<uint8_t>() % 32;
                for (int i = 0; i < count && tonegate_test_card::IsRunning(card); ++i) player.Switch();
                break;
            }
        }
    }
    ASIOCloseDriver();
    Require(card.record.brokenGuardsAtDispose == 0, "the halves' guards are intact at disposal");
    Require(card.record.releases == card.record.addRefs + 1 && card.record.liveObjects == 0,
            "every reference to the card comes back");
    return 0;
}
