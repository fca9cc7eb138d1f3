// The watch's arithmetic on the audio path: the level kernels, the totals the main loop
// reads, callback time against the budget, missed cycles, the bypass reason and the mend
// of non-finite engine output.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "audio_path.h"
#include "fake_engine.h"
#include "log_capture.h"
#include "signal_levels.h"

namespace zephrane {
namespace {

using testing::FakeEngine;
using testing::FakeInstance;

constexpr float NaN = std::numeric_limits<float>::quiet_NaN();
constexpr float INF = std::numeric_limits<float>::infinity();

TEST(SignalLevels, PeakSumOfSquaresFullScaleAndNonFiniteSamples) {
    // Long enough for the vector loop and a remainder; values exact in float.
    std::vector<float> samples(37, 0.25f);
    samples[5] = -0.5f;
    BlockLevels plain = measureBlock(samples.data(), samples.size());
    EXPECT_EQ(plain.peak, 0.5f);
    EXPECT_FLOAT_EQ(plain.sumSquares, 36 * 0.0625f + 0.25f);
    EXPECT_EQ(plain.clipped, 0u);
    EXPECT_EQ(plain.nonFinite, 0u);

    samples[7] = 1.0f;   // exactly full scale counts
    samples[8] = -1.5f;  // so does beyond, either sign
    samples[30] = NaN;
    samples[36] = -INF;
    BlockLevels bad = measureBlock(samples.data(), samples.size());
    EXPECT_EQ(bad.peak, 1.5f);
    EXPECT_EQ(bad.clipped, 2u);
    EXPECT_EQ(bad.nonFinite, 2u);
    // Non-finite samples stay out of the sum.
    EXPECT_FLOAT_EQ(bad.sumSquares, 32 * 0.0625f + 0.25f + 1.0f + 2.25f);
    EXPECT_TRUE(std::isnan(samples[30])) << "measuring alone changes nothing";

    BlockLevels mended = measureAndMendBlock(samples.data(), samples.size());
    EXPECT_EQ(mended.nonFinite, 2u);
    EXPECT_EQ(samples[30], 0.0f);
    EXPECT_EQ(samples[36], 0.0f);
    EXPECT_EQ(samples[8], -1.5f) << "finite samples are left alone, even loud ones";

    BlockLevels empty = measureBlock(samples.data(), 0);
    EXPECT_EQ(empty.peak, 0.0f);
    EXPECT_EQ(empty.sumSquares, 0.0f);
}

TEST(AudioWatchTiming, CallbackTimeGoesIntoTheBucketOfItsShareOfTheBudget) {
    AudioWatch watch;
    // 256 frames at 48 kHz: a budget of 5333333 ns.
    const int64_t shares[] = {266'000, 4'000'000, 4'500'000, 20'000'000};  // 5 %, 75 %, 84 %, 375 %
    int64_t now = 1'000'000'000;
    for (int64_t spent : shares) {
        watch.enterCallback(now);
        EXPECT_EQ(watch.callbackStartNs(), now);
        watch.leaveCallback(now + spent, 256, 48000);
        EXPECT_EQ(watch.callbackStartNs(), 0) << "outside a callback";
        now += 10'000'000;
    }
    WatchReading reading = watch.read();
    EXPECT_EQ(reading.cycles, 4u);
    EXPECT_EQ(reading.busyCycles, 2u) << "over 80 % of the budget";
    // Bounds 0.1 0.25 0.5 0.8 1 2, then above.
    EXPECT_EQ(reading.budgetBuckets, (std::array<uint64_t, 7>{1, 0, 0, 1, 1, 0, 1}));
    EXPECT_NEAR(reading.budgetShareSum, 0.049875 + 0.75 + 0.84375 + 3.75, 1e-6);
}

TEST(AudioWatchTiming, AJumpOfTheGraphPositionCountsTheCyclesInBetween) {
    AudioWatch watch;
    watch.notePosition(1000, 256, 48000);
    watch.notePosition(1256, 256, 48000);             // next cycle
    watch.notePosition(1256 + 3 * 256, 256, 48000);   // two cycles missed
    watch.notePosition(100, 256, 48000);              // the graph restarted: not a miss
    watch.notePosition(356, 512, 48000);              // cycle length changes after a normal step
    watch.notePosition(356 + 512 + 100, 512, 48000);  // less than one more cycle: not a miss
    watch.notePosition(968 + 24000, 512, 48000);      // half a second: a pause, not a miss
    WatchReading reading = watch.read();
    EXPECT_EQ(reading.missedCycles, 2u);
    EXPECT_EQ(reading.positionJumps, 1u);
}

class WatchedPath : public ::testing::Test {
  protected:
    WatchedPath() {
        engine.keepInput = false;
        data.engine = engine.ops();
        data.instanceFactory = [this](uint32_t) -> std::shared_ptr<ProcessingInstance> {
            return failCreation ? nullptr : std::make_shared<FakeInstance>(1, nullptr);
        };
    }

    testing::LogCapture log;
    FakeEngine engine;
    bool failCreation = false;
    FilterNodeData data;
};

TEST_F(WatchedPath, NonFiniteEngineOutputLeavesTheNodeAsZerosAndIsCounted) {
    engine.chunkFrames = 64;
    engine.gain = INF;  // every non-zero input becomes infinite, 0 * inf is NaN
    std::vector<float> in(64, 0.5f);
    std::vector<float> out(64, 9.0f);
    in[3] = 0.0f;
    for (int i = 0; i < 3; ++i) {
        processCycle(data, 64, 48000, in.data(), out.data());
    }
    for (float sample : out) {
        ASSERT_EQ(sample, 0.0f);
    }
    WatchReading reading = data.watch.read();
    EXPECT_EQ(reading.input.nonFinite, 0u);
    EXPECT_EQ(reading.input.frames, 192u);
    EXPECT_EQ(reading.input.peak, 0.5f);
    // The first cycle's output is the FIFO's initial zeros.
    EXPECT_EQ(reading.output.nonFinite, 128u);
    EXPECT_EQ(reading.output.peak, 0.0f);
    EXPECT_EQ(reading.bypass, BypassReason::none);
    EXPECT_EQ(reading.quantum, 64u);
    EXPECT_EQ(reading.chunk, 64u);
    EXPECT_EQ(reading.creationsOk, 1u);
    EXPECT_EQ(data.watch.read().output.peak, 0.0f) << "the peak restarts at each read";
}

TEST_F(WatchedPath, OutputLevelsAndClippingAreMeasuredOnWhatLeavesTheNode) {
    engine.chunkFrames = 32;
    engine.gain = 4.0f;
    std::vector<float> in(32, 0.25f);
    std::vector<float> out(32);
    processCycle(data, 32, 48000, in.data(), out.data());  // the FIFO's initial zeros
    processCycle(data, 32, 48000, in.data(), out.data());
    WatchReading reading = data.watch.read();
    EXPECT_EQ(reading.output.peak, 1.0f);
    EXPECT_EQ(reading.output.clipped, 32u);
    EXPECT_EQ(reading.input.clipped, 0u);
    EXPECT_DOUBLE_EQ(reading.output.sumSquares, 32.0);
    EXPECT_DOUBLE_EQ(reading.input.sumSquares, 64 * 0.0625);
    EXPECT_EQ(reading.output.frames, 64u);
}

TEST_F(WatchedPath, TheBypassReasonFollowsWhyTheAudioIsPassedThrough) {
    std::vector<float> in(256, 0.1f);
    std::vector<float> out(256);
    failCreation = true;
    processCycle(data, 256, 48000, in.data(), out.data());
    EXPECT_EQ(data.watch.read().bypass, BypassReason::creationFailing);
    EXPECT_EQ(data.watch.read().creationsFailed, 1u);
    processCycle(data, 256, 44100, in.data(), out.data());
    EXPECT_EQ(data.watch.read().bypass, BypassReason::graphRate);
    failCreation = false;
    engine.nowNs += CREATION_RETRY_INTERVAL_NS;
    processCycle(data, 256, 48000, in.data(), out.data());
    EXPECT_EQ(data.watch.read().bypass, BypassReason::none);
    // A missing output buffer is not measured, the input still is.
    processCycle(data, 256, 48000, in.data(), nullptr);
    WatchReading reading = data.watch.read();
    EXPECT_EQ(reading.input.frames, 4 * 256u);
    EXPECT_EQ(reading.output.frames, 3 * 256u);
}

}  // namespace
}  // namespace zephrane
