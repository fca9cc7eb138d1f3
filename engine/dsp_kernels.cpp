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

uint32_t copyFiniteMeasured(const float* in, float* out, uint32_t count, float& peak, float& sumSquares) {
    float peaks[8] = {};
    float sums[8] = {};
    uint32_t replacedLanes[8] = {};
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int k = 0; k < 8; ++k) {
            float x = in[i + k];
            bool finite = (x - x) == 0.0f;
            x = finite ? x : 0.0f;
            out[i + k] = x;
            replacedLanes[k] += finite ? 0u : 1u;
            float a = std::fabs(x);
            peaks[k] = a > peaks[k] ? a : peaks[k];
            sums[k] += x * x;
        }
    }
    uint32_t replaced = 0;
    float maxAbs = 0.0f;
    float sum = 0.0f;
    for (; i < count; ++i) {
        float x = in[i];
        bool finite = (x - x) == 0.0f;
        x = finite ? x : 0.0f;
        out[i] = x;
        replaced += finite ? 0u : 1u;
        float a = std::fabs(x);
        maxAbs = a > maxAbs ? a : maxAbs;
        sum += x * x;
    }
    for (int k = 0; k < 8; ++k) {
        maxAbs = peaks[k] > maxAbs ? peaks[k] : maxAbs;
        sum += sums[k];
        replaced += replacedLanes[k];
    }
    peak = maxAbs;
    sumSquares = sum;
    return replaced;
}

// Eight independent lanes let the compiler vectorise the reductions without changing
// the result's meaning (only the order of the additions).
float peakOf(const float* samples, uint32_t count) {
    float lanes[8] = {};
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int k = 0; k < 8; ++k) {
            float a = std::fabs(samples[i + k]);
            lanes[k] = a > lanes[k] ? a : lanes[k];
        }
    }
    float peak = 0.0f;
    for (; i < count; ++i) {
        float a = std::fabs(samples[i]);
        peak = a > peak ? a : peak;
    }
    for (float lane : lanes) {
        peak = lane > peak ? lane : peak;
    }
    return peak;
}

void peakAndSquares(const float* samples, uint32_t count, float& peak, float& sumSquares) {
    float peaks[8] = {};
    float sums[8] = {};
    uint32_t i = 0;
    for (; i + 8 <= count; i += 8) {
        for (int k = 0; k < 8; ++k) {
            float x = samples[i + k];
            float a = std::fabs(x);
            peaks[k] = a > peaks[k] ? a : peaks[k];
            sums[k] += x * x;
        }
    }
    float maxAbs = 0.0f;
    float sum = 0.0f;
    for (; i < count; ++i) {
        float a = std::fabs(samples[i]);
        maxAbs = a > maxAbs ? a : maxAbs;
        sum += samples[i] * samples[i];
    }
    for (int k = 0; k < 8; ++k) {
        maxAbs = peaks[k] > maxAbs ? peaks[k] : maxAbs;
        sum += sums[k];
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
