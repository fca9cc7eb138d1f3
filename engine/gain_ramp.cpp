#include "gain_ramp.h"

#include "dsp_kernels.h"

namespace zephrane::engine {

void GainRamp::setTarget(float gain) {
    if (gain == target_) {
        return;
    }
    target_ = gain;
    remaining_ = kRampFrames;
    step_ = (target_ - current_) / static_cast<float>(kRampFrames);
}

void GainRamp::reset(float gain) {
    current_ = target_ = gain;
    remaining_ = 0;
    step_ = 0.0f;
}

void GainRamp::process(float* samples, uint32_t count) {
    if (remaining_ > 0) {
        uint32_t ramped = count < remaining_ ? count : remaining_;
        if (ramped == remaining_) {
            // The ramp ends here: land exactly on the target, without rounding drift.
            applyGainRamp(samples, ramped - 1, current_, step_);
            samples[ramped - 1] *= target_;
            current_ = target_;
            remaining_ = 0;
        } else {
            current_ = applyGainRamp(samples, ramped, current_, step_);
            remaining_ -= ramped;
        }
        samples += ramped;
        count -= ramped;
    }
    if (count > 0 && current_ != 1.0f) {
        applyGain(samples, count, current_);
    }
}

}  // namespace zephrane::engine
