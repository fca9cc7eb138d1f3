#pragma once

#include <cmath>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "alarm.h"
#include "audio_watch.h"
#include "monitor_settings.h"

namespace zephrane {

inline constexpr int64_t NS_PER_SECOND = 1'000'000'000;

// Levels of one direction over the span between two readings, in dB relative to full
// scale; -infinity for digital silence or no audio at all.
struct LevelSummary {
    double peakDbfs = 0;
    double rmsDbfs = 0;
};

// Decibels of an amplitude and of a power; -infinity at 0.
double amplitudeDbfs(double amplitude);
double powerDbfs(double meanSquare);

// The host's alarms, judged from successive watch readings on the main loop:
//  - silence_output, silence_input: RMS below the threshold for the set time; cleared after
//    2 s at least 3 dB above it. No audio at all (an idle graph) counts as silence.
//  - clipping: a sample at full scale on the output; cleared after 10 s without one.
//  - overload: within the last 10 s, at least 5 % of at least 100 callbacks took over 80 %
//    of their budget, or missed cycles (jumps of the graph position) were seen in at least
//    3 readings; cleared after 30 s without either. The first 5 s of a run, while the
//    graph settles, are not judged.
//  - bypass: the node passes its input through; cleared as soon as it processes again.
//  - unlinked: a configured link (LINK_INPUT, LINK_OUTPUT) has been missing from the graph
//    for 10 s; cleared as soon as every configured link is there.
class AlarmSet {
  public:
    explicit AlarmSet(const MonitorSettings& settings);

    // Judges one reading taken at nowNs, with the number of configured links missing from
    // the graph then; returns the alarms raised or cleared by it.
    std::vector<AlarmEvent> update(int64_t nowNs, const WatchReading& reading, size_t missingLinks = 0);

    const std::vector<Alarm>& alarms() const { return alarms_; }
    bool active(const std::string& name) const;
    std::vector<std::string> activeNames() const;
    const LevelSummary& inputLevels() const { return input_; }
    const LevelSummary& outputLevels() const { return output_; }
    // Share of callbacks over 80 % of their budget within the overload window, 0 to 1.
    double busyShare() const { return busyShare_; }

  private:
    struct LoadSample {
        int64_t atNs;
        uint64_t cycles;
        uint64_t busy;
        uint64_t jumps;
    };

    Alarm& alarm(size_t index) { return alarms_[index]; }
    bool overloaded(int64_t nowNs, const WatchReading& reading, const WatchReading& previous);

    MonitorSettings settings_;
    std::vector<Alarm> alarms_;
    std::optional<WatchReading> previous_;
    std::optional<int64_t> firstReadingNs_;
    std::deque<LoadSample> load_;
    LevelSummary input_{-INFINITY, -INFINITY};
    LevelSummary output_{-INFINITY, -INFINITY};
    double busyShare_ = 0;
};

}  // namespace zephrane
