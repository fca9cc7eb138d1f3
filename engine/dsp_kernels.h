#pragma once

// Plain sample loops of the audio chain: no state, no allocation, safe on the audio thread.
#include <cstdint>

namespace zephrane::engine {

inline constexpr float kMinDb = -120.0f;

float dbToGain(float db);
// Level in dB; anything at or below kMinDb (including silence) reports kMinDb.
float gainToDb(float gain);

// Copies in to out (they may be the same buffer); NaN and infinities become 0. Returns
// how many samples were replaced.
uint32_t copyFinite(const float* in, float* out, uint32_t count);

// copyFinite and peakAndSquares of the copy in one pass.
uint32_t copyFiniteMeasured(const float* in, float* out, uint32_t count, float& peak, float& sumSquares);

// Largest magnitude of count samples (no NaN among them).
float peakOf(const float* samples, uint32_t count);

// Largest magnitude and sum of squares of count samples (no NaN among them).
void peakAndSquares(const float* samples, uint32_t count, float& peak, float& sumSquares);

// out = in with every magnitude above limit (>= 0) brought down to it, sign kept.
void copyClamped(const float* in, float* out, uint32_t count, float limit);

void applyGain(float* samples, uint32_t count, float gain);

// Multiplies sample i by gain + (i + 1) * step and returns the gain reached at the end.
float applyGainRamp(float* samples, uint32_t count, float gain, float step);

}  // namespace zephrane::engine
