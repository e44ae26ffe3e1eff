// The cost of a note's preparation and of rendering: PlaySineWav for a 10 s
// note at 96 kHz, 32-bit, whose release moves (so the note is measured twice
// over), beside a straightforward std::sin pre-pass of the same schedule; and
// RenderSine32 / RenderSweep32 per sample at B = 512.
// Thread: the benchmark's own.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "baseline_sine_note.h"
#include "synth/sine_generator.h"

namespace {

constexpr double kRate = 96000;
constexpr double kSeconds = 10;
constexpr uint32_t kFrames = 512;

// The first whole hertz from 1000 up whose 10 s note moves its release.
double FrequencyWithMovingRelease() {
    for (double frequency = 1000; frequency < 2000; ++frequency) {
        BaselineNote note{};
        if (BaselineMeasureNote(kRate, frequency, kSeconds, 0, kFrames, false, note) && note.releaseMoved) return frequency;
    }
    std::fprintf(stderr, "no frequency from 1000 to 2000 Hz moves the release\n");
    std::abort();
}

const double kMovingFrequency = FrequencyWithMovingRelease();

// The blocks a scheduled note lasts, played to its end.
uint32_t PlayedBlocks(SineGenerator& g) {
    std::vector<int32_t> block(kFrames);
    uint32_t blocks = 0;
    for (; g.bSineActive; ++blocks) g.RenderSine32(block.data(), nullptr);
    return blocks;
}

void PlaySineWavMovingRelease(benchmark::State& state) {
    BaselineNote expected{};
    BaselineMeasureNote(kRate, kMovingFrequency, kSeconds, 0, kFrames, false, expected);
    SineGenerator check(kFrames, false);
    // The same schedule as the baseline's, release moved, as far as its blocks tell.
    if (!check.PlaySineWav(kRate, kMovingFrequency, kSeconds, 0) ||
        PlayedBlocks(check) != (expected.end + kFrames - 1) / kFrames) {
        state.SkipWithError("not the baseline's schedule");
    }
    for (auto _ : state) {
        SineGenerator g(kFrames, false);
        const bool accepted = g.PlaySineWav(kRate, kMovingFrequency, kSeconds, 0);
        if (!accepted) state.SkipWithError("note refused");
        benchmark::DoNotOptimize(accepted);
    }
    state.SetLabel(std::to_string(static_cast<int>(kMovingFrequency)) + " Hz");
}
BENCHMARK(PlaySineWavMovingRelease)->Unit(benchmark::kMillisecond);

void BaselineTwoPassesWithStdSin(benchmark::State& state) {
    for (auto _ : state) {
        BaselineNote note{};
        BaselineMeasureNote(kRate, kMovingFrequency, kSeconds, 0, kFrames, false, note);
        benchmark::DoNotOptimize(note.sum);
    }
    state.SetLabel(std::to_string(static_cast<int>(kMovingFrequency)) + " Hz");
}
BENCHMARK(BaselineTwoPassesWithStdSin)->Unit(benchmark::kMillisecond);

// Items are samples; the counter reads as time per sample.
void CountSamples(benchmark::State& state) {
    const double samples = static_cast<double>(state.iterations()) * kFrames;
    state.SetItemsProcessed(static_cast<int64_t>(samples));
    state.counters["per_sample"] = benchmark::Counter(samples, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void RenderSine32Block(benchmark::State& state) {
    SineGenerator g(kFrames, false);
    std::vector<int32_t> block(kFrames);
    for (auto _ : state) {
        if (!g.bSineActive) {
            state.PauseTiming();
            // 60 s: long enough to render for a while, and no pre-pass to wait for.
            g.PlaySineWav(kRate, kMovingFrequency, 60, 0);
            state.ResumeTiming();
        }
        g.RenderSine32(block.data(), nullptr);
        benchmark::DoNotOptimize(block.data());
    }
    CountSamples(state);
}
BENCHMARK(RenderSine32Block);

void RenderSweep32Block(benchmark::State& state) {
    SineGenerator g(kFrames, false);
    std::vector<int32_t> block(kFrames);
    for (auto _ : state) {
        if (!g.bSweepActive) {
            state.PauseTiming();
            g.PlaySweepWav(kRate, 100, 10000, 10, 0);
            state.ResumeTiming();
        }
        g.RenderSweep32(block.data(), nullptr);
        benchmark::DoNotOptimize(block.data());
    }
    CountSamples(state);
}
BENCHMARK(RenderSweep32Block);

}  // namespace

BENCHMARK_MAIN();
