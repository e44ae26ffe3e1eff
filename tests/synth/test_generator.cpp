// The generator object: construction per format, the fade table, the
// floating-point reset, the amplitude law and destruction with a fade table.
// Thread: the test's own.
#include <gtest/gtest.h>

#include <cfenv>
#include <vector>

#include "synth/sine_generator.h"

namespace {

TEST(Generator, FreshGeneratorIsIdleAndFadesFromItsFullLevelToZero) {
    const SineGenerator narrow(256, true);
    const SineGenerator wide(1024, false);
    for (const SineGenerator* g : {&narrow, &wide}) {
        EXPECT_FALSE(g->bSineActive);
        EXPECT_FALSE(g->bSweepActive);
    }
    // Entry i is (full level × (n − 1 − i) / n) / full scale, the last one 0.
    struct Format {
        const SineGenerator& g;
        double fullLevel, fullScale;
    };
    for (const Format& format : {Format{narrow, 32765, 32767}, Format{wide, 2147483645, 2147483647}}) {
        std::vector<double> table(512, -1.0);
        format.g.BuildFadeTable(table.data(), 512);
        for (uint32_t i = 0; i < 512; ++i) {
            ASSERT_NEAR(table[i], (format.fullLevel * (511 - i) / 512) / format.fullScale, 1e-12) << i;
        }
    }
}

TEST(Generator, ConstructionRestoresDefaultRoundingAndMasksExceptions) {
    std::fesetround(FE_UPWARD);
    std::feraiseexcept(FE_INEXACT);
    const SineGenerator g(512, false);
    EXPECT_EQ(std::fegetround(), FE_TONEAREST);
    EXPECT_EQ(std::fetestexcept(FE_ALL_EXCEPT), 0);
}

TEST(Generator, AmplitudeLawInBothFormats) {
    const SineGenerator narrow(512, true);
    const SineGenerator wide(512, false);
    EXPECT_EQ(narrow.AmplitudeForAttenuation(0), 32765.0);
    EXPECT_EQ(wide.AmplitudeForAttenuation(0), 2147483645.0);
    struct Row {
        uint32_t dB;
        double narrow, wide;
    };
    for (const Row& row : {Row{1, 29203.62, 1913946815.02}, Row{6, 16422.40, 1076291388.30},
                           Row{20, 3276.70, 214748364.70}, Row{60, 32.767, 2147483.647}}) {
        EXPECT_NEAR(narrow.AmplitudeForAttenuation(row.dB), row.narrow, 0.006) << row.dB << " dB";
        EXPECT_NEAR(wide.AmplitudeForAttenuation(row.dB), row.wide, 0.006) << row.dB << " dB";
    }
}

TEST(Generator, DestroyingMidSweepFreesTheFadeTable) {
    // Leak-checked under the address sanitizer.
    auto* g = new SineGenerator(512, false);
    g->PlaySweepWav(48000, 100, 1000, 1.0, 0);
    ASSERT_TRUE(g->bSweepActive);
    delete g;
}

}  // namespace
