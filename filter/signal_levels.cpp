#include "signal_levels.h"

#include <cfloat>
#include <cmath>

namespace zephrane {

namespace {

// The plain pass: the largest square and the sum of squares in one loop that vectorises
// (the peak is the root of the largest square, which spares taking magnitudes). A NaN or
// an infinity makes the sum non-finite and a full-scale sample shows in the peak, so the
// counting pass below runs only for the rare block that needs it. On x86-64 the loop is
// built for AVX2 too, and the loader picks what the processor runs: the baseline's
// 4-float vectors alone are too slow for the per-frame budget.
// ThreadSanitizer's runtime is not up yet when the loader runs the picker, so its builds
// keep the baseline loop.
#if defined(__x86_64__) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void sumBlock(const float* samples, uint32_t count, float& peak, float& sumSquares) noexcept {
    float largest = 0.0f;
    float sum = 0.0f;
#pragma omp simd reduction(max : largest) reduction(+ : sum)
    for (uint32_t i = 0; i < count; ++i) {
        const float square = samples[i] * samples[i];
        largest = square > largest ? square : largest;
        sum += square;
    }
    peak = std::sqrt(largest);
    sumSquares = sum;
}

bool needsCounting(float peak, float sumSquares) {
    return !(peak < 1.0f) || !std::isfinite(sumSquares);
}

// The counting pass: every measure over finite samples only.
BlockLevels countBlock(const float* samples, uint32_t count) noexcept {
    BlockLevels levels;
    float largest = 0.0f;
    float sum = 0.0f;
    uint32_t clipped = 0;
    uint32_t nonFinite = 0;
    for (uint32_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        const bool finite = magnitude <= FLT_MAX;  // false for NaN and infinity
        if (!finite) {
            ++nonFinite;
            continue;
        }
        largest = magnitude > largest ? magnitude : largest;
        sum += samples[i] * samples[i];
        clipped += magnitude >= 1.0f ? 1 : 0;
    }
    levels.peak = largest;
    levels.sumSquares = sum;
    levels.clipped = clipped;
    levels.nonFinite = nonFinite;
    return levels;
}

}  // namespace

BlockLevels measureBlock(const float* samples, uint32_t count) noexcept {
    BlockLevels levels;
    sumBlock(samples, count, levels.peak, levels.sumSquares);
    if (needsCounting(levels.peak, levels.sumSquares)) {
        levels = countBlock(samples, count);
    }
    return levels;
}

BlockLevels measureAndMendBlock(float* samples, uint32_t count) noexcept {
    BlockLevels levels = measureBlock(samples, count);
    if (levels.nonFinite != 0) {
        for (uint32_t i = 0; i < count; ++i) {
            if (!(std::fabs(samples[i]) <= FLT_MAX)) {
                samples[i] = 0.0f;
            }
        }
    }
    return levels;
}

}  // namespace zephrane
