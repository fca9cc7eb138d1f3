#pragma once

// The real-time signal chain of one process: finite check and input meter, one gain
// ramp for input and output gain together, the limiter last (so the ceiling holds
// whatever the gains), output meter, load measurement. Settings arrive and meters leave
// through triple buffers, so process() never locks, allocates or blocks.
#include <cstdint>
#include <mutex>

#include "gain_ramp.h"
#include "limiter.h"
#include "meters.h"
#include "triple_buffer.h"

namespace zephrane::engine {

struct AudioParams {
    float gain = 1.0f;     // input gain times output gain, linear
    float ceiling = 1.0f;  // linear
    float releaseCoefficient = 0.0f;
};

class AudioChain {
  public:
    explicit AudioChain(const AudioParams& initial);

    // Audio thread.
    void process(const float* in, float* out, uint32_t frames);

    // Control side; any thread, serialised here.
    void publish(const AudioParams& params);
    // The newest meter snapshot (the last one again when nothing new was published).
    MeterSnapshot meters();

  private:
    void applyParams(const AudioParams& params);

    // A call is timed once at least this many frames went by untimed: every call for
    // large chunks, every 32nd at 12 frames.
    static constexpr uint32_t kTimingInterval = 384;

    GainRamp gain_;
    uint32_t untimedFrames_ = kTimingInterval;
    Limiter limiter_;
    MeterAccumulator accumulator_;
    TripleBuffer<AudioParams> params_;
    TripleBuffer<MeterSnapshot> snapshots_;

    std::mutex publishMutex_;
    std::mutex metersMutex_;
    MeterSnapshot lastMeters_;
};

}  // namespace zephrane::engine
