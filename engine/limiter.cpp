#include "limiter.h"

#include <cmath>

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
    head_ = tail_ = 0;
    for (uint32_t i = 0; i < kLookahead; ++i) {
        delay_[i] = 0.0f;
        box_[i] = 1.0f;
    }
}

float Limiter::releaseCoefficientFor(float releaseMs) {
    return static_cast<float>(std::exp(-1.0 / (static_cast<double>(releaseMs) * 48.0)));
}

void Limiter::process(float* samples, uint32_t count) {
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

        // Averaging the last kLookahead envelope values spreads the attack over the
        // look-ahead; every averaged value already covers the sample leaving the delay.
        boxSum_ += static_cast<double>(envelope_) - static_cast<double>(box_[pos_]);
        box_[pos_] = envelope_;
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
