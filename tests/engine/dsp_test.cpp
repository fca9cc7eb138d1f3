// Signal chain: gain accuracy, ramps without clicks, the limiter's ceiling on hard
// signals, non-finite input, meters and the wait-free hand-over buffer.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <thread>
#include <vector>

#include "audio_chain.h"
#include "dsp_kernels.h"
#include "gain_ramp.h"
#include "limiter.h"
#include "meters.h"
#include "triple_buffer.h"

namespace zephrane::engine {
namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

AudioParams params(float gainDb, float ceilingDb, float releaseMs = 100.0f) {
    return {dbToGain(gainDb), dbToGain(ceilingDb), Limiter::releaseCoefficientFor(releaseMs)};
}

// Runs a whole signal through the chain in chunks of frames.
std::vector<float> run(AudioChain& chain, const std::vector<float>& in, uint32_t frames) {
    std::vector<float> out(in.size());
    for (size_t at = 0; at + frames <= in.size(); at += frames) {
        chain.process(in.data() + at, out.data() + at, frames);
    }
    return out;
}

float peakOf(const std::vector<float>& samples) {
    float peak = 0.0f;
    for (float x : samples) {
        peak = std::max(peak, std::fabs(x));
    }
    return peak;
}

TEST(DspKernels, CopyFiniteReplacesAndCounts) {
    std::vector<float> in{1.0f, kNaN, -kInf, 0.25f, kInf, -0.0f};
    std::vector<float> out(in.size(), 7.0f);
    EXPECT_EQ(copyFinite(in.data(), out.data(), 6), 3u);
    EXPECT_EQ(out, (std::vector<float>{1.0f, 0.0f, 0.0f, 0.25f, 0.0f, -0.0f}));
    // In place, as the host may pass the same buffer.
    EXPECT_EQ(copyFinite(in.data(), in.data(), 6), 3u);
    EXPECT_EQ(in[1], 0.0f);
}

TEST(DspKernels, FusedCopyMatchesTheSeparatePasses) {
    std::mt19937 random(3);
    std::uniform_real_distribution<float> value(-2.0f, 2.0f);
    for (uint32_t count : {0u, 1u, 7u, 8u, 12u, 13u, 1024u}) {
        std::vector<float> in(count);
        for (float& x : in) {
            x = random() % 17 == 0 ? kNaN : value(random);
        }
        std::vector<float> fused(count), separate(count);
        float peak, squares, expectedPeak, expectedSquares;
        uint32_t replaced = copyFiniteMeasured(in.data(), fused.data(), count, peak, squares);
        EXPECT_EQ(replaced, copyFinite(in.data(), separate.data(), count));
        peakAndSquares(separate.data(), count, expectedPeak, expectedSquares);
        EXPECT_EQ(fused, separate);
        EXPECT_EQ(peak, expectedPeak);
        EXPECT_EQ(peak, zephrane::engine::peakOf(separate.data(), count));
        EXPECT_NEAR(squares, expectedSquares, 1e-3f);
    }
}

TEST(DspKernels, CopyClampedKeepsSignAndSmallValues) {
    std::vector<float> in{0.5f, -0.5f, 0.8f, -0.9f, 2.0f, -kInf, 0.79f, -0.0f, 1e30f};
    std::vector<float> out(in.size());
    copyClamped(in.data(), out.data(), static_cast<uint32_t>(in.size()), 0.8f);
    EXPECT_EQ(out, (std::vector<float>{0.5f, -0.5f, 0.8f, -0.8f, 0.8f, -0.8f, 0.79f, -0.0f, 0.8f}));
}

TEST(GainRamp, MovesSmoothlyAndLandsExactlyEvenWhenRedirected) {
    GainRamp ramp(1.0f);
    std::vector<float> ones(2000, 1.0f);
    ramp.setTarget(0.0f);
    ramp.process(ones.data(), 120);
    ramp.setTarget(1.0f);  // halfway down: turns back from where it is
    ramp.process(ones.data() + 120, 500);
    ramp.setTarget(0.0f);
    ramp.process(ones.data() + 620, 1380);
    for (size_t i = 1; i < ones.size(); ++i) {
        ASSERT_LE(std::fabs(ones[i] - ones[i - 1]), 1.0f / GainRamp::kRampFrames + 1e-6f) << i;
    }
    EXPECT_EQ(ones[619], 1.0f);
    EXPECT_EQ(ones.back(), 0.0f);  // exactly, not a rounding residue of the wrong sign
}

TEST(AudioChain, GainIsAccurateOnceSettled) {
    for (float db : {-80.0f, -30.0f, -6.0f, 0.0f, 6.0f}) {
        AudioChain chain(params(0.0f, 0.0f));
        chain.publish(params(db, 0.0f));
        std::vector<float> in(4800, 0.001f);  // stays under the ceiling at every gain
        std::vector<float> out = run(chain, in, 48);
        EXPECT_NEAR(gainToDb(out.back() / 0.001f), db, 0.01f) << db;
    }
}

TEST(AudioChain, OutputIsInputDelayedByTheLookahead) {
    AudioChain chain(params(0.0f, 0.0f));
    std::vector<float> in(96);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = 0.5f * std::sin(0.1f * static_cast<float>(i));
    }
    std::vector<float> out = run(chain, in, 12);
    for (size_t i = Limiter::kLookahead; i < in.size(); ++i) {
        EXPECT_FLOAT_EQ(out[i], in[i - Limiter::kLookahead]);
    }
}

TEST(AudioChain, GainChangeHasNoClick) {
    AudioChain chain(params(0.0f, 0.0f));
    std::vector<float> in(9600, 0.5f);
    std::vector<float> out(in.size());
    for (size_t at = 0; at < in.size(); at += 12) {
        if (at == 2400) {
            chain.publish(params(-40.0f, 0.0f));
        }
        chain.process(in.data() + at, out.data() + at, 12);
    }
    for (size_t i = Limiter::kLookahead + 1; i < out.size(); ++i) {
        ASSERT_LE(std::fabs(out[i] - out[i - 1]), 0.5f / GainRamp::kRampFrames + 1e-5f) << i;
    }
    EXPECT_NEAR(out.back(), 0.005f, 1e-6f);
}

// Hard signals for the limiter: none may leave it above the ceiling.
std::vector<std::vector<float>> hardSignals() {
    std::vector<std::vector<float>> signals;
    std::vector<float> square(48000);
    for (size_t i = 0; i < square.size(); ++i) {
        square[i] = (i / 24) % 2 ? 1.0f : -1.0f;
    }
    signals.push_back(square);
    std::vector<float> spikes(48000, 0.0f);
    for (size_t i = 100; i < spikes.size(); i += 997) {
        spikes[i] = (i % 2) ? 1.0f : -1.0f;  // lone full-scale samples in silence
    }
    signals.push_back(spikes);
    std::vector<float> huge(4800, 0.0f);
    huge[50] = std::numeric_limits<float>::max();
    huge[51] = -std::numeric_limits<float>::max();
    huge[1000] = 1e30f;
    signals.push_back(huge);
    std::mt19937 random(42);
    std::uniform_real_distribution<float> noise(-4.0f, 4.0f);
    std::vector<float> loudNoise(48000);
    for (float& x : loudNoise) {
        x = noise(random);
    }
    signals.push_back(loudNoise);
    return signals;
}

TEST(Limiter, NeverExceedsTheCeiling) {
    for (float ceilingDb : {0.0f, -1.0f, -12.0f, -30.0f}) {
        for (float gainDb : {0.0f, 24.0f, 48.0f}) {
            for (float releaseMs : {1.0f, 100.0f, 5000.0f}) {
                int index = 0;
                for (const auto& signal : hardSignals()) {
                    AudioChain chain(params(gainDb, ceilingDb, releaseMs));
                    std::vector<float> out = run(chain, signal, 12);
                    ASSERT_LE(peakOf(out), dbToGain(ceilingDb))
                        << "ceiling " << ceilingDb << " gain " << gainDb << " release " << releaseMs
                        << " signal " << index;
                    ++index;
                }
            }
        }
    }
}

TEST(Limiter, LimitsSmoothlyWithoutClipping) {
    // A 1 kHz tone 6 dB over the ceiling: the gain settles instead of the waveform being
    // clipped, so the output still reaches close to the ceiling but is a scaled sine.
    Limiter limiter;
    limiter.configure(0.5f, Limiter::releaseCoefficientFor(100.0f));
    std::vector<float> tone(9600);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = std::sin(2.0f * 3.14159265f * 1000.0f * static_cast<float>(i) / 48000.0f);
    }
    std::vector<float> out = tone;
    limiter.process(out.data(), static_cast<uint32_t>(out.size()));
    float peak = 0.0f;
    for (size_t i = 4800; i < out.size(); ++i) {
        peak = std::max(peak, std::fabs(out[i]));
        // Once settled the gain is constant: output is the delayed tone times ~0.5.
        EXPECT_NEAR(out[i], tone[i - Limiter::kLookahead] * 0.5f, 0.02f) << i;
    }
    EXPECT_GT(peak, 0.48f);
}

TEST(Limiter, ReleasesAfterAPeak) {
    Limiter limiter;
    limiter.configure(0.5f, Limiter::releaseCoefficientFor(10.0f));
    std::vector<float> signal(48000, 0.1f);
    signal[100] = 1.0f;
    limiter.process(signal.data(), static_cast<uint32_t>(signal.size()));
    EXPECT_NEAR(signal[100 + Limiter::kLookahead], 0.5f, 1e-6f);
    EXPECT_LT(signal[101 + Limiter::kLookahead], 0.1f);  // still pulled down just after
    EXPECT_NEAR(signal.back(), 0.1f, 1e-4f);             // recovered after 100 time constants
}

TEST(AudioChain, NonFiniteInputBecomesSilenceAndIsCounted) {
    AudioChain chain(params(0.0f, 0.0f));
    std::vector<float> in(9600, 0.25f);
    in[10] = kNaN;
    in[20] = kInf;
    in[30] = -kInf;
    std::vector<float> out = run(chain, in, 48);
    for (float x : out) {
        ASSERT_TRUE(std::isfinite(x));
    }
    EXPECT_EQ(out[10 + Limiter::kLookahead], 0.0f);
    EXPECT_EQ(out[20 + Limiter::kLookahead], 0.0f);
    EXPECT_EQ(out[31 + Limiter::kLookahead], 0.25f);  // neighbours untouched
    EXPECT_EQ(chain.meters().nonFinite, 3u);
}

TEST(Meters, PeakRmsAndLoadOfABlock) {
    AudioChain chain(params(-6.0206f, 0.0f));
    std::vector<float> in(MeterAccumulator::kBlockFrames * 2);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = 0.8f * std::sin(2.0f * 3.14159265f * 100.0f * static_cast<float>(i) / 48000.0f);
    }
    EXPECT_EQ(chain.meters().blocks, 0u);
    run(chain, in, 48);
    MeterSnapshot m = chain.meters();
    EXPECT_EQ(m.blocks, 2u);
    EXPECT_NEAR(m.inPeak, 0.8f, 1e-3f);
    EXPECT_NEAR(m.inRms, 0.8f / std::sqrt(2.0f), 1e-3f);
    EXPECT_NEAR(m.outPeak, 0.4f, 1e-3f);
    EXPECT_NEAR(m.outRms, 0.4f / std::sqrt(2.0f), 2e-3f);
    EXPECT_GT(m.loadPercent, 0.0f);
    EXPECT_LT(m.loadPercent, 100.0f);
    // Read again without new audio: the same snapshot.
    EXPECT_EQ(chain.meters().blocks, 2u);
}

TEST(TripleBuffer, ReaderAlwaysSeesACompleteNewestValue) {
    struct Pair {
        uint32_t a, b;
    };
    TripleBuffer<Pair> buffer(Pair{0, 0});
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t i = 1; i <= 200000; ++i) {
            buffer.write(Pair{i, ~i});
        }
        done = true;
    });
    uint32_t last = 0;
    Pair value{};
    for (;;) {
        bool finished = done.load();
        if (buffer.read(value)) {
            ASSERT_EQ(value.b, ~value.a);
            ASSERT_GT(value.a, last);
            last = value.a;
        } else if (finished) {
            break;
        }
    }
    writer.join();
    EXPECT_EQ(last, 200000u);
}

}  // namespace
}  // namespace zephrane::engine
