#pragma once

#include <cstdint>
#include <string>

namespace zephrane {

// What the operator sets for unattended operation, from the environment.
struct MonitorSettings {
    double silenceThresholdDbfs = -50.0;  // SILENCE_THRESHOLD
    double silenceSeconds = 10.0;         // SILENCE_SECONDS
    std::string alarmCommand;             // ALARM_COMMAND; empty: none
    uint16_t metricsPort = 0;             // METRICS_PORT; 0: no metrics endpoint
    std::string metricsBind;              // METRICS_BIND; empty: all addresses
};

// Reads SILENCE_THRESHOLD, SILENCE_SECONDS, ALARM_COMMAND, METRICS_PORT and METRICS_BIND.
// A value that is not a number in range is logged at WARN and the default is kept.
MonitorSettings readMonitorSettings();

// The same from explicit texts (null: unset), for tests.
MonitorSettings parseMonitorSettings(const char* silenceThreshold, const char* silenceSeconds,
                                     const char* alarmCommand, const char* metricsPort,
                                     const char* metricsBind);

}  // namespace zephrane
