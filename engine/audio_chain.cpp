#include "audio_chain.h"

#include <ctime>

#include "dsp_kernels.h"

namespace zephrane::engine {

namespace {
// A vDSO call on Linux: no system call, safe on the audio thread.
uint64_t monotonicNs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}
}  // namespace

AudioChain::AudioChain(const AudioParams& initial) : gain_(initial.gain), params_(initial) {
    limiter_.configure(initial.ceiling, initial.releaseCoefficient);
}

void AudioChain::applyParams(const AudioParams& params) {
    gain_.setTarget(params.gain);
    limiter_.configure(params.ceiling, params.releaseCoefficient);
}

void AudioChain::process(const float* in, float* out, uint32_t frames) {
    const bool timed = untimedFrames_ >= kTimingInterval;
    const uint64_t start = timed ? monotonicNs() : 0;
    AudioParams params;
    if (params_.read(params)) {
        applyParams(params);
    }
    float inPeak, inSquares;
    const uint32_t replaced = copyFiniteMeasured(in, out, frames, inPeak, inSquares);
    if (replaced != 0) {
        accumulator_.addNonFinite(replaced);
    }
    accumulator_.addInputLevels(inPeak, inSquares);
    // With a steady gain the chunk's peak after the gain is known without another pass:
    // float multiplication is monotonic, so max|x * g| == max|x| * g exactly.
    const float peakAfterGain = gain_.ramping() ? -1.0f : inPeak * gain_.current();
    gain_.process(out, frames);
    limiter_.process(out, frames, peakAfterGain);
    accumulator_.addOutput(out, frames);
    if (timed) {
        accumulator_.addTiming(frames, monotonicNs() - start);
        untimedFrames_ = 0;
    } else {
        untimedFrames_ += frames;
    }
    MeterSnapshot snapshot;
    if (accumulator_.endChunk(frames, snapshot)) {
        snapshots_.write(snapshot);
    }
}

void AudioChain::publish(const AudioParams& params) {
    std::lock_guard lock(publishMutex_);
    params_.write(params);
}

MeterSnapshot AudioChain::meters() {
    std::lock_guard lock(metersMutex_);
    snapshots_.read(lastMeters_);
    return lastMeters_;
}

}  // namespace zephrane::engine
