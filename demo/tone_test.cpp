#include "tone.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

using zephrane::demo::ToneGenerator;

constexpr double kRate = 48000.0;

double peakDb(const float* samples, size_t count) {
    float peak = 0.0f;
    for (size_t i = 0; i < count; ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
    }
    return 20.0 * std::log10(peak);
}

TEST(ToneGenerator, SteadyToneHasItsPeakLevelAndFrequency) {
    ToneGenerator tone(440.0, -12.0, kRate, 0.0);
    std::vector<float> second(48000);
    tone.fill(second.data(), second.size());
    EXPECT_NEAR(peakDb(second.data(), second.size()), -12.0, 0.01);
    int upwardCrossings = 0;
    for (size_t i = 1; i < second.size(); ++i) {
        if (second[i - 1] < 0.0f && second[i] >= 0.0f) {
            ++upwardCrossings;
        }
    }
    EXPECT_NEAR(upwardCrossings, 440, 1);
}

// Meters must show the level change: loudest at the level, quietest swingDb below it,
// never above the level.
TEST(ToneGenerator, LevelSwingsBetweenPeakAndSwingBelowIt) {
    ToneGenerator tone(1000.0, -12.0, kRate, 6.0, 0.5);
    std::vector<float> period(96000);
    tone.fill(period.data(), period.size());
    constexpr size_t block = 1024;
    double loudest = -200.0;
    double quietest = 0.0;
    for (size_t start = 0; start + block <= period.size(); start += block) {
        double level = peakDb(period.data() + start, block);
        loudest = std::max(loudest, level);
        quietest = std::min(quietest, level);
    }
    EXPECT_NEAR(loudest, -12.0, 0.05);
    EXPECT_NEAR(quietest, -18.0, 0.1);
    EXPECT_LE(peakDb(period.data(), period.size()), -12.0 + 1e-4);
}

// The graph asks for blocks of varying length; splitting must not reset or skip phase.
TEST(ToneGenerator, BlocksOfAnyLengthContinueTheSameWave) {
    ToneGenerator whole(997.0, -6.0, kRate, 6.0, 3.0);
    ToneGenerator pieces(997.0, -6.0, kRate, 6.0, 3.0);
    std::vector<float> expected(5000);
    whole.fill(expected.data(), expected.size());
    std::vector<float> actual(expected.size());
    size_t done = 0;
    for (size_t length : {1u, 127u, 256u, 1024u, 3u, 3589u}) {
        pieces.fill(actual.data() + done, length);
        done += length;
    }
    ASSERT_EQ(done, expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        ASSERT_NEAR(actual[i], expected[i], 1e-6f) << "at sample " << i;
    }
}

// Ten minutes on, both the sine and the swing are where whole periods put them: no
// drift in either rate.
TEST(ToneGenerator, AfterTenMinutesBothPhasesAreOnTheirPeriods) {
    ToneGenerator tone(1000.0, 0.0, kRate, 6.0, 0.5);
    std::vector<float> block(48000);
    // The last block starts at 600 s.
    for (int second = 0; second <= 600; ++second) {
        tone.fill(block.data(), block.size());
    }
    // After whole periods of both the sine (48 samples) and the swing (2 s) the wave
    // starts again at zero phase and full level.
    EXPECT_NEAR(block[0], 0.0f, 1e-3f);
    EXPECT_NEAR(block[12], 1.0f, 1e-3f);
    EXPECT_NEAR(block[36], -1.0f, 1e-3f);
}

}  // namespace
