#include "dsp_kernels.h"

#include <bit>
#include <cmath>
#include <cstring>

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

// The reductions work on four-lane vectors (GCC/Clang vector extensions: SSE on x86,
// NEON on ARM, plain scalar code where neither exists) and on bit patterns: for
// non-negative floats the integer order is the float order, so maxima and the finite
// test are integer operations without the NaN rules that keep float compares scalar.

namespace {
constexpr uint32_t kExponent = 0x7f800000u;
constexpr uint32_t kMagnitude = 0x7fffffffu;

typedef float Floats __attribute__((vector_size(16)));
typedef uint32_t Bits __attribute__((vector_size(16)));
typedef int32_t Masks __attribute__((vector_size(16)));

inline Bits load(const float* at) {
    Bits bits;
    std::memcpy(&bits, at, sizeof bits);
    return bits;
}

inline void store(float* at, Bits bits) {
    std::memcpy(at, &bits, sizeof bits);
}

inline uint32_t largest(Bits lanes) {
    uint32_t a = lanes[0] > lanes[1] ? lanes[0] : lanes[1];
    uint32_t b = lanes[2] > lanes[3] ? lanes[2] : lanes[3];
    return a > b ? a : b;
}

inline float total(Floats lanes) {
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]);
}

// All ones for a finite value, zero for NaN and the infinities.
inline uint32_t finiteMask(uint32_t bits) {
    return 0u - static_cast<uint32_t>((bits & kExponent) != kExponent);
}
}  // namespace

uint32_t copyFinite(const float* in, float* out, uint32_t count) {
    uint32_t replaced = 0;
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t bits = std::bit_cast<uint32_t>(in[i]);
        uint32_t mask = finiteMask(bits);
        out[i] = std::bit_cast<float>(bits & mask);
        replaced += mask == 0 ? 1u : 0u;
    }
    return replaced;
}

uint32_t copyFiniteMeasured(const float* in, float* out, uint32_t count, float& peak, float& sumSquares) {
    Bits peaks = {};
    Masks finiteLanes = {};
    Floats sums = {};
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Bits bits = load(in + i);
        Masks finite = (bits & kExponent) != kExponent;  // -1 where finite
        bits &= std::bit_cast<Bits>(finite);
        store(out + i, bits);
        finiteLanes -= finite;
        Bits magnitude = bits & kMagnitude;
        peaks = magnitude > peaks ? magnitude : peaks;
        Floats x = std::bit_cast<Floats>(bits);
        sums += x * x;
    }
    uint32_t maxBits = largest(peaks);
    uint32_t finite =
        static_cast<uint32_t>(finiteLanes[0] + finiteLanes[1] + finiteLanes[2] + finiteLanes[3]);
    float sum = total(sums);
    for (; i < count; ++i) {
        uint32_t bits = std::bit_cast<uint32_t>(in[i]);
        uint32_t mask = finiteMask(bits);
        bits &= mask;
        float x = std::bit_cast<float>(bits);
        out[i] = x;
        finite -= mask;
        uint32_t magnitude = bits & kMagnitude;
        maxBits = magnitude > maxBits ? magnitude : maxBits;
        sum += x * x;
    }
    peak = std::bit_cast<float>(maxBits);
    sumSquares = sum;
    return count - finite;
}

float peakOf(const float* samples, uint32_t count) {
    Bits peaks = {};
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Bits magnitude = load(samples + i) & kMagnitude;
        peaks = magnitude > peaks ? magnitude : peaks;
    }
    uint32_t maxBits = largest(peaks);
    for (; i < count; ++i) {
        uint32_t magnitude = std::bit_cast<uint32_t>(samples[i]) & kMagnitude;
        maxBits = magnitude > maxBits ? magnitude : maxBits;
    }
    return std::bit_cast<float>(maxBits);
}

void peakAndSquares(const float* samples, uint32_t count, float& peak, float& sumSquares) {
    Bits peaks = {};
    Floats sums = {};
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Bits bits = load(samples + i);
        Bits magnitude = bits & kMagnitude;
        peaks = magnitude > peaks ? magnitude : peaks;
        Floats x = std::bit_cast<Floats>(bits);
        sums += x * x;
    }
    uint32_t maxBits = largest(peaks);
    float sum = total(sums);
    for (; i < count; ++i) {
        float x = samples[i];
        uint32_t magnitude = std::bit_cast<uint32_t>(x) & kMagnitude;
        maxBits = magnitude > maxBits ? magnitude : maxBits;
        sum += x * x;
    }
    peak = std::bit_cast<float>(maxBits);
    sumSquares = sum;
}

void copyClamped(const float* in, float* out, uint32_t count, float limit) {
    const uint32_t limitBits = std::bit_cast<uint32_t>(limit);
    constexpr uint32_t kSign = 0x80000000u;
    uint32_t i = 0;
    for (; i + 4 <= count; i += 4) {
        Bits bits = load(in + i);
        Bits over = (bits & kMagnitude) > limitBits;  // all ones where over
        store(out + i, (bits & ~over) | (over & ((bits & kSign) | limitBits)));
    }
    for (; i < count; ++i) {
        uint32_t bits = std::bit_cast<uint32_t>(in[i]);
        out[i] = (bits & kMagnitude) > limitBits ? std::bit_cast<float>((bits & kSign) | limitBits) : in[i];
    }
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
