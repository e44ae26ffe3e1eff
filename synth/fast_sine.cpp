// The block form of the kernels' sine.
// Thread: both.
#include "synth/fast_sine.h"

// Where the loader can choose between versions of a function (x86-64 ELF),
// the loop is also built for AVX2, four sines at a time, and the processor's
// best version is picked at load time. Every version gives the same bits: the
// same IEEE operations in the same order, and no fused multiply-add. Not under
// ThreadSanitizer: the loader picks the version before its runtime is up.
#if defined(__x86_64__) && defined(__ELF__) && (defined(__GNUC__) || defined(__clang__)) && \
    !defined(__SANITIZE_THREAD__)
#define TONEGATE_SINE_VERSIONS __attribute__((target_clones("avx2", "default")))
#else
#define TONEGATE_SINE_VERSIONS
#endif

namespace tonegate_synth {

TONEGATE_SINE_VERSIONS void SinesInPlace(double* values, uint32_t n) {
    for (uint32_t i = 0; i < n; ++i) values[i] = FastSine(values[i]);
}

}  // namespace tonegate_synth
