// Rendering a note block by block: every stage layout (attack ending with a
// block, attack and release in one block, release starting a block, release
// spanning blocks), both formats, the copy destination, and nothing written
// outside the block. Thread: the test's own.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "note_reference.h"
#include "synth/sine_generator.h"

namespace {

using note_reference::Model;
using note_reference::Request;

TEST(NoteRender, EveryStageLayoutPlaysAsModelledInBothFormats) {
    struct Layout {
        const char* what;
        bool is16Bit;
        uint32_t blockFrames;
        double seconds;
        uint32_t releaseOffset;
    };
    // 1 kHz at 48 kHz: R = 479; for 0.5 s the release follows sample 23521
    // in 16-bit (it moves) and sample 23520 in 32-bit (it stays).
    for (const Layout& layout : {Layout{"attack, steady blocks, release over two blocks", true, 512, 0.5, 481},
                                 Layout{"attack, steady blocks, release over two blocks", false, 512, 0.5, 480},
                                 Layout{"attack of exactly one block", true, 479, 0.5, 50},
                                 Layout{"attack of exactly one block", false, 479, 0.5, 49},
                                 Layout{"release starting a block", true, 547, 0.5, 0},
                                 Layout{"release starting a block", false, 490, 0.5, 0},
                                 Layout{"release longer than a block", true, 128, 0.5, 97},
                                 Layout{"release longer than a block", false, 128, 0.5, 96},
                                 Layout{"attack and release in one block", true, 2048, 0.05, 1921},
                                 Layout{"attack and release in one block", false, 2048, 0.05, 1921}}) {
        SCOPED_TRACE(testing::Message() << layout.what << (layout.is16Bit ? ", 16-bit" : ", 32-bit"));
        const note_reference::Note note = Model({48000, 1000, layout.seconds, 0, layout.blockFrames, layout.is16Bit});
        EXPECT_EQ(note.rel % layout.blockFrames, layout.releaseOffset);
        SineGenerator g(layout.blockFrames, layout.is16Bit);
        ASSERT_TRUE(g.PlaySineWav(48000, 1000, layout.seconds, 0));
        note_reference::ExpectPlaysAsModelled(g, note, /*checkCopy=*/layout.is16Bit);
    }
}

TEST(NoteRender, WritesOnlyItsBlockAndTheCopy) {
    constexpr uint32_t kFrames = 64;
    constexpr int16_t kUntouched = 0x5a5a;
    SineGenerator g(kFrames, true);
    ASSERT_TRUE(g.PlaySineWav(44100, 3000, 0.02, 0));
    std::vector<int16_t> block(kFrames + 8, kUntouched);
    std::vector<int16_t> copy(kFrames + 8, kUntouched);
    int blocks = 0;
    while (g.bSineActive && blocks < 100) {
        g.RenderSine16(block.data(), (blocks % 2 == 0) ? copy.data() : nullptr);
        if (blocks % 2 == 0) {
            EXPECT_TRUE(std::equal(block.begin(), block.begin() + kFrames, copy.begin()));
        }
        ++blocks;
    }
    const note_reference::Note note = Model({44100, 3000, 0.02, 0, kFrames, true});
    EXPECT_EQ(blocks, static_cast<int>((note.end + kFrames - 1) / kFrames));
    for (uint32_t i = kFrames; i < kFrames + 8; ++i) {
        EXPECT_EQ(block[i], kUntouched);
        EXPECT_EQ(copy[i], kUntouched);
    }
}

}  // namespace
