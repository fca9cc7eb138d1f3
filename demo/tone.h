// A sine whose level swings slowly between its peak level and a few dB below, so meters
// visibly follow it, generated block by block without a jump between blocks.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>

namespace zephrane::demo {

class ToneGenerator {
  public:
    // swingDb below levelDbfs at the slowest point, swingHz times a second.
    ToneGenerator(double frequencyHz, double levelDbfs, double sampleRate, double swingDb = 6.0,
                  double swingHz = 0.5)
        : amplitude_(std::pow(10.0, levelDbfs / 20.0)),
          step_(kTwoPi * frequencyHz / sampleRate),
          swingStep_(kTwoPi * swingHz / sampleRate),
          swingDb_(swingDb) {}

    void fill(float* out, size_t frames) {
        for (size_t i = 0; i < frames; ++i) {
            double gainDb = -0.5 * swingDb_ * (1.0 - std::cos(swingPhase_));
            out[i] = static_cast<float>(amplitude_ * std::pow(10.0, gainDb / 20.0) * std::sin(phase_));
            phase_ = wrapped(phase_ + step_);
            swingPhase_ = wrapped(swingPhase_ + swingStep_);
        }
    }

  private:
    static constexpr double kTwoPi = 2.0 * std::numbers::pi;

    // Wrapped each sample so a demo that runs for days keeps full precision.
    static double wrapped(double phase) { return phase >= kTwoPi ? phase - kTwoPi : phase; }

    double amplitude_;
    double step_;
    double swingStep_;
    double swingDb_;
    double phase_ = 0.0;
    double swingPhase_ = 0.0;
};

}  // namespace zephrane::demo
