#include "alarm_set.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zephrane {

namespace {

enum AlarmIndex : size_t { SILENCE_OUTPUT, SILENCE_INPUT, CLIPPING, OVERLOAD, BYPASS, UNLINKED };

constexpr double SILENCE_CLEAR_MARGIN_DB = 3.0;
constexpr int64_t SILENCE_CLEAR_NS = 2 * NS_PER_SECOND;
constexpr int64_t CLIPPING_CLEAR_NS = 10 * NS_PER_SECOND;
constexpr int64_t OVERLOAD_WINDOW_NS = 10 * NS_PER_SECOND;
constexpr int64_t OVERLOAD_CLEAR_NS = 30 * NS_PER_SECOND;
constexpr int64_t OVERLOAD_SETTLE_NS = 5 * NS_PER_SECOND;
constexpr double OVERLOAD_BUSY_SHARE = 0.05;
// Fewer callbacks than this say nothing about a share: one slow callback right after the
// start would be a large share of a handful.
constexpr uint64_t OVERLOAD_MIN_CALLBACKS = 100;
constexpr uint64_t OVERLOAD_STALLS = 3;
constexpr int64_t UNLINKED_RAISE_NS = 10 * NS_PER_SECOND;

std::string decimal(double value) {
    if (std::isinf(value)) {
        return value < 0 ? "-inf" : "inf";
    }
    char text[32];
    std::snprintf(text, sizeof(text), "%.1f", value);
    return text;
}

LevelSummary levelsBetween(const PortReading& now, const PortReading& before) {
    const uint64_t frames = now.frames - before.frames;
    const double sumSquares = std::max(0.0, now.sumSquares - before.sumSquares);
    return {amplitudeDbfs(now.peak), frames != 0 ? powerDbfs(sumSquares / frames) : -INFINITY};
}

}  // namespace

double amplitudeDbfs(double amplitude) {
    return amplitude > 0 ? 20.0 * std::log10(amplitude) : -INFINITY;
}

double powerDbfs(double meanSquare) {
    return meanSquare > 0 ? 10.0 * std::log10(meanSquare) : -INFINITY;
}

AlarmSet::AlarmSet(const MonitorSettings& settings) : settings_(settings) {
    const auto silenceNs = static_cast<int64_t>(settings.silenceSeconds * NS_PER_SECOND);
    alarms_.emplace_back("silence_output", silenceNs, SILENCE_CLEAR_NS);
    alarms_.emplace_back("silence_input", silenceNs, SILENCE_CLEAR_NS);
    alarms_.emplace_back("clipping", 0, CLIPPING_CLEAR_NS);
    alarms_.emplace_back("overload", 0, OVERLOAD_CLEAR_NS);
    alarms_.emplace_back("bypass", 0, 0);
    alarms_.emplace_back("unlinked", UNLINKED_RAISE_NS, 0);
}

bool AlarmSet::active(const std::string& name) const {
    return std::any_of(alarms_.begin(), alarms_.end(),
                       [&](const Alarm& alarm) { return alarm.name() == name && alarm.active(); });
}

std::vector<std::string> AlarmSet::activeNames() const {
    std::vector<std::string> names;
    for (const Alarm& alarm : alarms_) {
        if (alarm.active()) {
            names.push_back(alarm.name());
        }
    }
    return names;
}

bool AlarmSet::overloaded(int64_t nowNs, const WatchReading& reading, const WatchReading& previous) {
    // Stalls are counted by the readings that saw any: a graph that reorganises itself
    // (a link made, a quantum changed) can jump a few times in one moment.
    const bool jumped = reading.positionJumps != previous.positionJumps;
    // The first seconds of a run, while the graph settles, are not judged.
    if (nowNs - *firstReadingNs_ >= OVERLOAD_SETTLE_NS) {
        load_.push_back({nowNs, reading.cycles - previous.cycles, reading.busyCycles - previous.busyCycles,
                         jumped ? 1u : 0u});
    }
    while (!load_.empty() && nowNs - load_.front().atNs >= OVERLOAD_WINDOW_NS) {
        load_.pop_front();
    }
    uint64_t cycles = 0;
    uint64_t busy = 0;
    uint64_t jumps = 0;
    for (const LoadSample& sample : load_) {
        cycles += sample.cycles;
        busy += sample.busy;
        jumps += sample.jumps;
    }
    busyShare_ = cycles != 0 ? static_cast<double>(busy) / static_cast<double>(cycles) : 0.0;
    return (cycles >= OVERLOAD_MIN_CALLBACKS && busyShare_ >= OVERLOAD_BUSY_SHARE) ||
           jumps >= OVERLOAD_STALLS;
}

std::vector<AlarmEvent> AlarmSet::update(int64_t nowNs, const WatchReading& reading, size_t missingLinks) {
    const WatchReading previous = previous_.value_or(WatchReading{});
    if (!firstReadingNs_) {
        firstReadingNs_ = nowNs;
    }
    previous_ = reading;
    input_ = levelsBetween(reading.input, previous.input);
    output_ = levelsBetween(reading.output, previous.output);
    const uint64_t clipped = reading.output.clipped - previous.output.clipped;
    const bool overload = overloaded(nowNs, reading, previous);
    const double threshold = settings_.silenceThresholdDbfs;

    std::vector<AlarmEvent> events;
    auto judge = [&](AlarmIndex index, bool raise, bool clear, const std::string& value) {
        Alarm& a = alarm(index);
        if (a.update(nowNs, raise, clear)) {
            events.push_back({a.name(), a.active(), value});
        }
    };
    judge(SILENCE_OUTPUT, output_.rmsDbfs < threshold, output_.rmsDbfs >= threshold + SILENCE_CLEAR_MARGIN_DB,
          decimal(output_.rmsDbfs));
    judge(SILENCE_INPUT, input_.rmsDbfs < threshold, input_.rmsDbfs >= threshold + SILENCE_CLEAR_MARGIN_DB,
          decimal(input_.rmsDbfs));
    judge(CLIPPING, clipped != 0, clipped == 0, std::to_string(clipped));
    judge(OVERLOAD, overload, !overload, decimal(100.0 * busyShare_));
    judge(BYPASS, reading.bypass != BypassReason::none, reading.bypass == BypassReason::none,
          bypassReasonName(reading.bypass));
    judge(UNLINKED, missingLinks != 0, missingLinks == 0, std::to_string(missingLinks));
    return events;
}

}  // namespace zephrane
