#pragma once

#include <string>
#include <utility>
#include <vector>

#include "alarm_set.h"
#include "audio_watch.h"

namespace zephrane {

enum class HealthStatus { ok, degraded, failing };
const char* healthStatusName(HealthStatus status);

// What the main loop knows about the host's audio at one moment: the watch's totals, the
// levels since the reading before, every alarm's state and the host's identity.
struct MonitorSnapshot {
    WatchReading totals;
    LevelSummary input{-INFINITY, -INFINITY};
    LevelSummary output{-INFINITY, -INFINITY};
    std::vector<std::pair<std::string, bool>> alarms;  // name, active
    // The data thread has been inside one callback for too long (a hung engine).
    bool stuck = false;
    std::string hostVersion;
    std::string engineVersion;

    std::vector<std::string> activeAlarms() const;
    // failing: the data thread is stuck, or the node passes audio through because the
    // engine cannot be started; degraded: any other alarm; ok otherwise.
    HealthStatus health() const;
};

}  // namespace zephrane
