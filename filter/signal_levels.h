#pragma once

#include <cstdint>

namespace zephrane {

// What one block of samples held: the largest finite magnitude, the sum of the squares of
// the finite samples, the samples at or above full scale and the samples that were NaN or
// infinite.
struct BlockLevels {
    float peak = 0.0f;
    float sumSquares = 0.0f;
    uint32_t clipped = 0;
    uint32_t nonFinite = 0;
};

// Measures `count` samples. Real-time safe: arithmetic only.
BlockLevels measureBlock(const float* samples, uint32_t count) noexcept;

// Measures `count` samples and replaces every NaN or infinite one by 0, so nothing
// downstream of the node is fed a value that silences or damages it.
BlockLevels measureAndMendBlock(float* samples, uint32_t count) noexcept;

}  // namespace zephrane
