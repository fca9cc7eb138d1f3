#include "meters.h"

#include <cmath>

#include "dsp_kernels.h"

namespace zephrane::engine {

void MeterAccumulator::addInput(const float* samples, uint32_t count) {
    float peak, squares;
    peakAndSquares(samples, count, peak, squares);
    inPeak_ = peak > inPeak_ ? peak : inPeak_;
    inSquares_ += squares;
}

void MeterAccumulator::addOutput(const float* samples, uint32_t count) {
    float peak, squares;
    peakAndSquares(samples, count, peak, squares);
    outPeak_ = peak > outPeak_ ? peak : outPeak_;
    outSquares_ += squares;
}

void MeterAccumulator::addTiming(uint32_t frames, uint64_t processingNs) {
    timedFrames_ += frames;
    nanoseconds_ += processingNs;
}

bool MeterAccumulator::endChunk(uint32_t frames, MeterSnapshot& out) {
    frames_ += frames;
    if (frames_ < kBlockFrames) {
        return false;
    }
    const double n = frames_;
    out.inPeak = inPeak_;
    out.outPeak = outPeak_;
    out.inRms = static_cast<float>(std::sqrt(inSquares_ / n));
    out.outRms = static_cast<float>(std::sqrt(outSquares_ / n));
    // ns spent / ns of audio * 100, over the measured calls.
    out.loadPercent =
        timedFrames_ == 0
            ? 0.0f
            : static_cast<float>(static_cast<double>(nanoseconds_) / (timedFrames_ * 1e9 / 48000.0) * 100.0);
    out.nonFinite = nonFinite_;
    out.blocks = ++blocks_;
    inPeak_ = outPeak_ = 0.0f;
    inSquares_ = outSquares_ = 0.0;
    nanoseconds_ = 0;
    timedFrames_ = 0;
    frames_ = 0;
    return true;
}

}  // namespace zephrane::engine
