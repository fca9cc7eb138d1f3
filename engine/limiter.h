#pragma once

// Look-ahead peak limiter. The output never exceeds the ceiling, whatever the input:
// the gain needed for the loudest sample in the look-ahead window is reached by the
// time that sample leaves the delay line, via a sliding maximum and a box-filtered
// attack; an exponential release follows. A final clamp absorbs float rounding.
//
// The look-ahead (and so the latency) is a fixed 12 frames, one chunk at the smallest
// chunk size, so the engine's latency does not change with the chunk size.
#include <cstdint>

namespace zephrane::engine {

class Limiter {
  public:
    static constexpr uint32_t kLookahead = 12;

    Limiter();
    // ceiling: linear amplitude (0, 1]; releaseCoefficient: per-sample factor in [0, 1).
    void configure(float ceiling, float releaseCoefficient);
    // Processes in place; the output is the input delayed by kLookahead frames.
    // knownPeak: the chunk's largest magnitude when the caller has it, else negative.
    void process(float* samples, uint32_t count, float knownPeak = -1.0f);
    void reset();

    float gain() const { return smoothed_; }

    // Per-sample release factor for a release time in milliseconds at 48 kHz.
    static float releaseCoefficientFor(float releaseMs);

  private:
    // Idle and nothing over the ceiling: the chunk only passes the delay line.
    bool passThrough(float* samples, uint32_t count, float knownPeak);

    static constexpr uint32_t kWindow = kLookahead + 1;
    static constexpr uint32_t kMaxRing = 16;  // power of two above kWindow

    float ceiling_ = 1.0f;
    float release_ = 0.0f;
    float envelope_ = 1.0f;
    float smoothed_ = 1.0f;
    double boxSum_ = kLookahead;  // double: the running sum must not drift
    uint32_t pos_ = 0;
    uint32_t now_ = 0;
    uint32_t unityRun_ = 0;  // consecutive samples at unity envelope
    float delay_[kLookahead];
    float box_[kLookahead];
    // Monotonic queue of (magnitude, time) giving the window's maximum in O(1).
    float peakValue_[kMaxRing];
    uint32_t peakTime_[kMaxRing];
    uint32_t head_ = 0;
    uint32_t tail_ = 0;
};

}  // namespace zephrane::engine
