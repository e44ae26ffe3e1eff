// Lists the items of a capture, one line each, channel by channel in the
// order they sound: length in frames, frequency (a sweep's start) and a hash of the
// samples. Two captures of the same tune list the same lines whatever the
// pauses between the items were, so the lists can be compared with diff.
//   capture_notes <file.wav>
// Thread: the program's own.
#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "support/capture.h"

using namespace tonegate_e2e;

namespace {

// FNV-1a over the samples' bytes, so two items match only sample for sample.
uint64_t SampleHash(const std::vector<int32_t>& samples, const tonegate_capture::Item& item) {
    uint64_t hash = 14695981039346656037ull;
    for (int64_t i = item.start; i <= LastFrame(item); ++i) {
        const uint32_t sample = static_cast<uint32_t>(samples[static_cast<size_t>(i)]);
        for (int byte = 0; byte < 4; ++byte) hash = (hash ^ ((sample >> (8 * byte)) & 0xFF)) * 1099511628211ull;
    }
    return hash;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: capture_notes <file.wav>\n");
        return 2;
    }
    Capture capture;
    std::string error;
    if (!ReadCapture(argv[1], capture, error)) {
        std::fprintf(stderr, "capture_notes: %s: %s\n", argv[1], error.c_str());
        return 1;
    }
    std::printf("%d Hz, %d bits\n", capture.rate, capture.bits);
    for (int c = 0; c < 2; ++c) {
        for (const tonegate_capture::Item& item : ItemsOn(capture, c)) {
            const double frequency = item.kind == tonegate_capture::ItemKind::Tone ? item.frequency : item.from;
            std::printf("%c %" PRId64 " frames %.2f Hz %016" PRIx64 "\n", "AB"[c], item.frames, frequency,
                        SampleHash(capture.channel[c], item));
        }
    }
    return 0;
}
