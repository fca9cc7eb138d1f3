#pragma once

// Level and load metering. The audio thread accumulates into a MeterAccumulator and
// publishes a MeterSnapshot every ~100 ms of audio; the control side reads the newest.
#include <cstdint>

namespace zephrane::engine {

struct MeterSnapshot {
    float inPeak = 0.0f;  // linear
    float inRms = 0.0f;
    float outPeak = 0.0f;
    float outRms = 0.0f;
    float loadPercent = 0.0f;  // processing time per second of audio
    uint32_t nonFinite = 0;    // non-finite input samples since the process started
    uint32_t blocks = 0;       // snapshots published so far
};

class MeterAccumulator {
  public:
    static constexpr uint32_t kBlockFrames = 4800;  // 100 ms at 48 kHz

    void addInput(const float* samples, uint32_t count);
    void addInputLevels(float peak, float sumSquares) {
        inPeak_ = peak > inPeak_ ? peak : inPeak_;
        inSquares_ += sumSquares;
    }
    void addOutput(const float* samples, uint32_t count);
    void addNonFinite(uint32_t count) { nonFinite_ += count; }
    // Time spent on a measured call. Not every call is measured: reading the clock costs
    // as much as processing a small chunk, so the load is estimated from a sample.
    void addTiming(uint32_t frames, uint64_t processingNs);
    // Ends one processing call; true when a snapshot is complete and stored in out.
    bool endChunk(uint32_t frames, MeterSnapshot& out);

  private:
    float inPeak_ = 0.0f;
    float outPeak_ = 0.0f;
    double inSquares_ = 0.0;
    double outSquares_ = 0.0;
    uint64_t nanoseconds_ = 0;
    uint32_t timedFrames_ = 0;
    uint32_t frames_ = 0;
    uint32_t nonFinite_ = 0;
    uint32_t blocks_ = 0;
};

}  // namespace zephrane::engine
