#include "monitor_snapshot.h"

namespace zephrane {

const char* healthStatusName(HealthStatus status) {
    switch (status) {
        case HealthStatus::ok:
            return "ok";
        case HealthStatus::degraded:
            return "degraded";
        case HealthStatus::failing:
            return "failing";
    }
    return "failing";
}

std::vector<std::string> MonitorSnapshot::activeAlarms() const {
    std::vector<std::string> names;
    for (const auto& [name, active] : alarms) {
        if (active) {
            names.push_back(name);
        }
    }
    return names;
}

HealthStatus MonitorSnapshot::health() const {
    if (stuck || totals.bypass == BypassReason::creationFailing) {
        return HealthStatus::failing;
    }
    return activeAlarms().empty() ? HealthStatus::ok : HealthStatus::degraded;
}

}  // namespace zephrane
