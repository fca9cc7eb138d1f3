#include "dsp_kernels.h"

#include <cmath>

namespace zephrane::engine {

float dbToGain(float db) {
    return std::pow(10.0f, db / 20.0f);
}

float gainToDb(float gain) {
    if (!(gain > 0.0f)) {
        return kMinDb;
    }
    float db = 20.0f * std::log10(gain);
    return db < kMinDb ? kMinDb : db;
}

uint32_t copyFinite(const float* in, float* out, uint32_t count) {
    uint32_t replaced = 0;
    for (uint32_t i = 0; i < count; ++i) {
        float x = in[i];
        // x - x is 0 for every finite x and NaN for NaN and the infinities; branch-free.
        bool finite = (x - x) == 0.0f;
        out[i] = finite ? x : 0.0f;
        replaced += finite ? 0u : 1u;
    }
    return replaced;
}

void peakAndSquares(const float* samples, uint32_t count, float& peak, float& sumSquares) {
    float maxAbs = 0.0f;
    float sum = 0.0f;
    for (uint32_t i = 0; i < count; ++i) {
        float a = std::fabs(samples[i]);
        maxAbs = a > maxAbs ? a : maxAbs;
        sum += samples[i] * samples[i];
    }
    peak = maxAbs;
    sumSquares = sum;
}

void applyGain(float* samples, uint32_t count, float gain) {
    for (uint32_t i = 0; i < count; ++i) {
        samples[i] *= gain;
    }
}

float applyGainRamp(float* samples, uint32_t count, float gain, float step) {
    for (uint32_t i = 0; i < count; ++i) {
        samples[i] *= gain + static_cast<float>(i + 1) * step;
    }
    return gain + static_cast<float>(count) * step;
}

}  // namespace zephrane::engine
