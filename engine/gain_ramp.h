#pragma once

// A gain that moves to a new value in a straight line over a few milliseconds, so a
// gain change never steps the waveform (no clicks, no zipper noise).
#include <cstdint>

namespace zephrane::engine {

class GainRamp {
  public:
    // 5 ms at 48 kHz: short enough to feel immediate, long enough to be inaudible.
    static constexpr uint32_t kRampFrames = 240;

    explicit GainRamp(float gain = 1.0f) : current_(gain), target_(gain) {}

    // Starts a ramp from wherever the gain is now; a ramp in progress is redirected.
    void setTarget(float gain);
    // Jumps without a ramp (start-up only).
    void reset(float gain);
    void process(float* samples, uint32_t count);

    float current() const { return current_; }
    bool ramping() const { return remaining_ != 0; }
    float target() const { return target_; }

  private:
    float current_;
    float target_;
    float step_ = 0.0f;
    uint32_t remaining_ = 0;
};

}  // namespace zephrane::engine
