// The alarms' state machines against a fake clock: thresholds, hold times and hysteresis.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "alarm_set.h"
#include "monitor_settings.h"

namespace zephrane {
namespace {

constexpr int64_t MS = 1'000'000;
constexpr int64_t TICK = 250 * MS;

TEST(AlarmHysteresis, RaisesAfterItsHoldAndClearsAfterItsOwnAndABreakRestartsTheCount) {
    Alarm alarm("a", 1000 * MS, 500 * MS);
    EXPECT_FALSE(alarm.update(0, true, false));
    EXPECT_FALSE(alarm.update(900 * MS, true, false));
    EXPECT_FALSE(alarm.update(950 * MS, false, false)) << "a break";
    // Held over the spans from 950 ms on.
    EXPECT_FALSE(alarm.update(1000 * MS, true, false));
    EXPECT_FALSE(alarm.update(1900 * MS, true, false));
    EXPECT_TRUE(alarm.update(1950 * MS, true, false));
    EXPECT_TRUE(alarm.active());
    EXPECT_FALSE(alarm.update(2100 * MS, true, false))
        << "raised stays raised until the clear condition holds";
    EXPECT_FALSE(alarm.update(2500 * MS, false, true));
    EXPECT_TRUE(alarm.update(2600 * MS, false, true));
    EXPECT_FALSE(alarm.active());
}

// Feeds the alarm set readings of a steady signal, one per tick.
class Alarms : public ::testing::Test {
  protected:
    Alarms() : alarms(makeSettings()) {}

    static MonitorSettings makeSettings() {
        MonitorSettings settings;
        settings.silenceThresholdDbfs = -50;
        settings.silenceSeconds = 3;
        return settings;
    }

    // One tick of 12000 frames at a steady RMS level (dBFS) on both ports.
    std::vector<AlarmEvent> tick(double rmsDbfs, uint64_t clipped = 0, uint64_t cycles = 47,
                                 uint64_t busy = 0, uint64_t jumps = 0) {
        const double meanSquare = std::pow(10.0, rmsDbfs / 10.0);
        for (PortReading* port : {&reading.input, &reading.output}) {
            port->frames += 12000;
            port->sumSquares += meanSquare * 12000;
            port->peak = static_cast<float>(std::sqrt(meanSquare * 2));
        }
        reading.output.clipped += clipped;
        reading.cycles += cycles;
        reading.busyCycles += busy;
        reading.positionJumps += jumps;
        now += TICK;
        return alarms.update(now, reading);
    }
    // Ticks for `seconds` and returns every event on the way.
    std::vector<std::string> run(double seconds, double rmsDbfs, uint64_t clipped = 0, uint64_t busy = 0) {
        std::vector<std::string> seen;
        for (int i = 0; i < static_cast<int>(seconds * 4); ++i) {
            for (const AlarmEvent& e : tick(rmsDbfs, clipped, 47, busy)) {
                seen.push_back(e.name + (e.raised ? " raised " : " cleared ") + e.value);
            }
        }
        return seen;
    }

    AlarmSet alarms;
    WatchReading reading;
    int64_t now = 0;
};

TEST_F(Alarms, SilenceIsRaisedAfterItsHoldAndClearsOnlyTwoSecondsThreeDecibelsAboveTheThreshold) {
    EXPECT_TRUE(run(5, -20).empty());
    EXPECT_TRUE(run(2.75, -60).empty()) << "not yet the hold of 3 s";
    EXPECT_EQ(run(0.25, -60),
              (std::vector<std::string>{"silence_output raised -60.0", "silence_input raised -60.0"}));
    EXPECT_NEAR(alarms.outputLevels().rmsDbfs, -60, 1e-9);
    EXPECT_NEAR(alarms.outputLevels().peakDbfs, -60 + 3.0103, 0.001);
    // Above the threshold but within the 3 dB margin: stays raised.
    EXPECT_TRUE(run(10, -48).empty());
    EXPECT_TRUE(run(1.75, -40).empty());
    EXPECT_TRUE(run(0.25, -48).empty()) << "a dip restarts the 2 s";
    EXPECT_TRUE(run(1.75, -40).empty());
    EXPECT_EQ(run(0.25, -40),
              (std::vector<std::string>{"silence_output cleared -40.0", "silence_input cleared -40.0"}));
}

TEST_F(Alarms, NoAudioAtAllIsSilence) {
    for (int i = 0; i < 13; ++i) {
        now += TICK;
        alarms.update(now, reading);
    }
    EXPECT_TRUE(alarms.active("silence_output"));
    EXPECT_TRUE(std::isinf(alarms.outputLevels().rmsDbfs));
}

TEST_F(Alarms, ClippingIsRaisedByOneSampleAndClearsAfterTenSecondsWithoutAny) {
    EXPECT_EQ(run(0.25, -10, 1), (std::vector<std::string>{"clipping raised 1"}));
    EXPECT_TRUE(run(9.75, -10).empty());
    EXPECT_TRUE(run(0.25, -10, 5).empty()) << "still raised; the 10 s start again";
    EXPECT_TRUE(run(9.75, -10).empty());
    EXPECT_EQ(run(0.25, -10), (std::vector<std::string>{"clipping cleared 0"}));
}

TEST_F(Alarms, OverloadNeedsASustainedShareOfBusyCallbacksNotOneGlitch) {
    run(5, -10);
    // One slow callback among the first few is a large share of very few.
    tick(-10, 0, 3, 1);
    EXPECT_FALSE(alarms.active("overload"));
    // One slow callback per tick of 47 is about 2 %: a loaded machine, not an overload.
    EXPECT_TRUE(run(20, -10, 0, 1).empty());
    // Three per tick is over 5 % once most of the 10 s window shows it.
    std::vector<std::string> raised = run(10, -10, 0, 3);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].rfind("overload raised 5.", 0), 0u) << raised[0];
    // It clears 30 s after the window stopped showing it; the window forgets in 10 s.
    EXPECT_TRUE(run(30, -10).empty());
    EXPECT_EQ(run(10, -10).size(), 1u);
    EXPECT_FALSE(alarms.active("overload"));
}

TEST_F(Alarms, OverloadIsRaisedByThreeStallsOfTheGraphWithinTenSeconds) {
    // Stalls right after the start, while the graph settles, are not judged.
    std::vector<std::string> early;
    for (int i = 0; i < 20; ++i) {
        early.push_back(tick(-10, 0, 47, 0, 1).empty() ? "" : "event");
    }
    EXPECT_EQ(early, std::vector<std::string>(20, ""));
    EXPECT_TRUE(run(10, -10).empty());
    EXPECT_TRUE(tick(-10, 0, 47, 0, 5).empty()) << "several jumps at one moment are one stall";
    run(10, -10);
    tick(-10, 0, 47, 0, 1);
    run(4, -10);
    EXPECT_TRUE(tick(-10, 0, 47, 0, 1).empty());
    run(4, -10);
    std::vector<AlarmEvent> third = tick(-10, 0, 47, 0, 1);
    ASSERT_EQ(third.size(), 1u);
    EXPECT_EQ(third[0].name, "overload");
    EXPECT_TRUE(third[0].raised);
}

TEST_F(Alarms, BypassFollowsTheReasonAtOnceWithTheReasonAsItsValue) {
    reading.bypass = BypassReason::graphRate;
    std::vector<AlarmEvent> raised = tick(-10);
    ASSERT_EQ(raised.size(), 1u);
    EXPECT_EQ(raised[0].value, "graph_rate");
    reading.bypass = BypassReason::none;
    std::vector<AlarmEvent> cleared = tick(-10);
    ASSERT_EQ(cleared.size(), 1u);
    EXPECT_FALSE(cleared[0].raised);
}

TEST_F(Alarms, UnlinkedIsRaisedAfterALinkIsMissingTenSecondsAndClearsWhenAllAreBack) {
    auto events = [&](size_t missing, double seconds) {
        std::vector<std::string> seen;
        for (int i = 0; i < static_cast<int>(seconds * 4); ++i) {
            now += TICK;
            for (const AlarmEvent& e : alarms.update(now, reading, missing)) {
                if (e.name == "unlinked") {
                    seen.push_back(std::string(e.raised ? "raised " : "cleared ") + e.value);
                }
            }
        }
        return seen;
    };
    EXPECT_TRUE(events(1, 9.5).empty());
    EXPECT_TRUE(events(0, 1).empty()) << "back within 10 s: no alarm";
    EXPECT_EQ(events(2, 10.25), (std::vector<std::string>{"raised 2"}));
    EXPECT_TRUE(events(1, 5).empty()) << "one of two back: still raised";
    EXPECT_EQ(events(0, 0.25), (std::vector<std::string>{"cleared 0"}));
}

TEST(MonitorSettingsParsing, DefaultsNumbersAndRejectedValues) {
    MonitorSettings none = parseMonitorSettings(nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_EQ(none.silenceThresholdDbfs, -50);
    EXPECT_EQ(none.silenceSeconds, 10);
    EXPECT_EQ(none.metricsPort, 0);
    EXPECT_EQ(none.metricsBind, "");
    EXPECT_EQ(none.alarmCommand, "");

    MonitorSettings set = parseMonitorSettings("-65.5", "0.5", "/usr/local/bin/page-me", "9464", "127.0.0.1");
    EXPECT_EQ(set.silenceThresholdDbfs, -65.5);
    EXPECT_EQ(set.silenceSeconds, 0.5);
    EXPECT_EQ(set.metricsPort, 9464);
    EXPECT_EQ(set.metricsBind, "127.0.0.1");
    EXPECT_EQ(set.alarmCommand, "/usr/local/bin/page-me");

    // Trailing text, out of range, not a number: the default stays.
    MonitorSettings bad = parseMonitorSettings("-50dB", "-1", nullptr, "70000", nullptr);
    EXPECT_EQ(bad.silenceThresholdDbfs, -50);
    EXPECT_EQ(bad.silenceSeconds, 10);
    EXPECT_EQ(bad.metricsPort, 0);
    EXPECT_EQ(parseMonitorSettings(nullptr, "nan", nullptr, "80.5", nullptr).metricsPort, 0);
    EXPECT_EQ(parseMonitorSettings(nullptr, "nan", nullptr, "", nullptr).silenceSeconds, 10);
}

}  // namespace
}  // namespace zephrane
