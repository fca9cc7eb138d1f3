#include "signal_levels.h"

#include <cfloat>
#include <cmath>

namespace zephrane {

namespace {

// The plain pass: peak and sum of squares in one loop that vectorises. A NaN or an
// infinity makes the sum non-finite and a full-scale sample shows in the peak, so the
// counting pass below runs only for the rare block that needs it.
void sumBlock(const float* samples, uint32_t count, float& peak, float& sumSquares) noexcept {
    float largest = 0.0f;
    float sum = 0.0f;
#pragma omp simd reduction(max : largest) reduction(+ : sum)
    for (uint32_t i = 0; i < count; ++i) {
        const float magnitude = std::fabs(samples[i]);
        largest = magnitude > largest ? magnitude : largest;
        sum += samples[i] * samples[i];
    }
    peak = largest;
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
