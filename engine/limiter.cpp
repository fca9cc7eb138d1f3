#include "limiter.h"

#include <cmath>
#include <cstring>

#include "dsp_kernels.h"

namespace zephrane::engine {

Limiter::Limiter() {
    reset();
}

void Limiter::configure(float ceiling, float releaseCoefficient) {
    ceiling_ = ceiling;
    release_ = releaseCoefficient;
}

void Limiter::reset() {
    envelope_ = 1.0f;
    smoothed_ = 1.0f;
    boxSum_ = kLookahead;
    pos_ = 0;
    now_ = 0;
    unityRun_ = kLookahead;
    head_ = tail_ = 0;
    for (uint32_t i = 0; i < kLookahead; ++i) {
        delay_[i] = 0.0f;
        box_[i] = 1.0f;
    }
}

float Limiter::releaseCoefficientFor(float releaseMs) {
    return static_cast<float>(std::exp(-1.0 / (static_cast<double>(releaseMs) * 48.0)));
}

bool Limiter::passThrough(float* samples, uint32_t count, float knownPeak) {
    // Unity gain over the whole box filter means every delayed sample is within the
    // ceiling; if the new ones are too, the output is exactly the delayed input.
    if (count < kLookahead || unityRun_ < kLookahead ||
        (knownPeak >= 0.0f ? knownPeak : peakOf(samples, count)) > ceiling_) {
        return false;
    }
    float newest[kLookahead];
    std::memcpy(newest, samples + count - kLookahead, sizeof newest);
    std::memmove(samples + kLookahead, samples, (count - kLookahead) * sizeof(float));
    if (pos_ != 0) {
        // First pass-through after limiting: put the delay line in order, oldest first.
        float ordered[kLookahead];
        for (uint32_t i = 0; i < kLookahead; ++i) {
            ordered[i] = delay_[pos_ + i < kLookahead ? pos_ + i : pos_ + i - kLookahead];
        }
        std::memcpy(delay_, ordered, sizeof ordered);
        pos_ = 0;
    }
    // The clamp covers a ceiling lowered since these samples came in. Whole-vector
    // writes here also let the output meter read them back without store stalls.
    copyClamped(delay_, samples, kLookahead, ceiling_);
    std::memcpy(delay_, newest, sizeof newest);
    // Nothing in the window is over the ceiling, so the maximum queue may start empty.
    head_ = tail_;
    now_ += count;
    return true;
}

void Limiter::process(float* samples, uint32_t count, float knownPeak) {
    if (passThrough(samples, count, knownPeak)) {
        return;
    }
    const float ceiling = ceiling_;
    const float release = release_;
    constexpr double kInvLength = 1.0 / kLookahead;
    for (uint32_t i = 0; i < count; ++i) {
        const float x = samples[i];
        const float magnitude = std::fabs(x);

        // Sliding maximum over the last kWindow inputs.
        while (tail_ != head_ && peakValue_[(tail_ - 1) & (kMaxRing - 1)] <= magnitude) {
            --tail_;
        }
        peakValue_[tail_ & (kMaxRing - 1)] = magnitude;
        peakTime_[tail_ & (kMaxRing - 1)] = now_;
        ++tail_;
        if (now_ - peakTime_[head_ & (kMaxRing - 1)] >= kWindow) {
            ++head_;
        }
        const float windowPeak = peakValue_[head_ & (kMaxRing - 1)];
        ++now_;

        // Gain the window needs; attack at once, release exponentially towards it.
        const float needed = windowPeak > ceiling ? ceiling / windowPeak : 1.0f;
        envelope_ = needed < envelope_ ? needed : needed + (envelope_ - needed) * release;
        if (needed - envelope_ < 1e-6f) {
            envelope_ = needed;  // the release would otherwise never land on it exactly
        }

        // Averaging the last kLookahead envelope values spreads the attack over the
        // look-ahead; every averaged value already covers the sample leaving the delay.
        boxSum_ += static_cast<double>(envelope_) - static_cast<double>(box_[pos_]);
        box_[pos_] = envelope_;
        unityRun_ = envelope_ == 1.0f ? unityRun_ + 1 : 0;
        if (unityRun_ == kLookahead) {
            boxSum_ = kLookahead;  // all unity: drop any rounding the running sum picked up
        }
        smoothed_ = static_cast<float>(boxSum_ * kInvLength);

        const float delayed = delay_[pos_];
        float y = delayed * smoothed_;
        delay_[pos_] = x;
        if (++pos_ == kLookahead) {
            pos_ = 0;
        }
        // Also catches inf * 0 when a gain pushed a huge sample to infinity.
        if (!(std::fabs(y) <= ceiling)) {
            y = std::copysign(ceiling, delayed);
        }
        samples[i] = y;
    }
}

}  // namespace zephrane::engine
