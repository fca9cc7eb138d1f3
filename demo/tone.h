// A sine at a fixed level, generated block by block without a phase jump between blocks.
#pragma once

#include <cmath>
#include <cstddef>
#include <numbers>

namespace zephrane::demo {

class ToneGenerator {
  public:
    ToneGenerator(double frequencyHz, double levelDbfs, double sampleRate)
        : amplitude_(std::pow(10.0, levelDbfs / 20.0)),
          step_(2.0 * std::numbers::pi * frequencyHz / sampleRate) {}

    void fill(float* out, size_t frames) {
        for (size_t i = 0; i < frames; ++i) {
            out[i] = static_cast<float>(amplitude_ * std::sin(phase_));
            phase_ += step_;
            // Wrapped each sample so a demo that runs for days keeps full precision.
            if (phase_ >= 2.0 * std::numbers::pi) {
                phase_ -= 2.0 * std::numbers::pi;
            }
        }
    }

    double amplitude() const { return amplitude_; }

  private:
    double amplitude_;
    double step_;
    double phase_ = 0.0;
};

}  // namespace zephrane::demo
