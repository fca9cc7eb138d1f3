#include "monitor_settings.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>

#include "log.h"

namespace zephrane {

namespace {

// The whole text must be a finite number within [low, high].
std::optional<double> numberIn(const char* text, double low, double high) {
    if (text == nullptr || *text == '\0') {
        return std::nullopt;
    }
    char* end = nullptr;
    errno = 0;
    double value = std::strtod(text, &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(value) || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

void warnIgnored(const char* name, const char* text) {
    ZLOG(LOG_WARN) << "ENV " << name << " ignored, not a valid value: " << text;
}

template <typename Number>
void readNumber(const char* name, const char* text, double low, double high, Number& value) {
    if (text == nullptr || *text == '\0') {
        return;
    }
    if (std::optional<double> number = numberIn(text, low, high)) {
        value = static_cast<Number>(*number);
    } else {
        warnIgnored(name, text);
    }
}

}  // namespace

MonitorSettings parseMonitorSettings(const char* silenceThreshold, const char* silenceSeconds,
                                     const char* alarmCommand, const char* metricsPort,
                                     const char* metricsBind) {
    MonitorSettings settings;
    readNumber("SILENCE_THRESHOLD", silenceThreshold, -200.0, 0.0, settings.silenceThresholdDbfs);
    readNumber("SILENCE_SECONDS", silenceSeconds, 0.0, 86400.0, settings.silenceSeconds);
    if (metricsPort != nullptr && *metricsPort != '\0') {
        std::optional<double> port = numberIn(metricsPort, 0, 65535);
        if (port && *port == std::floor(*port)) {
            settings.metricsPort = static_cast<uint16_t>(*port);
        } else {
            warnIgnored("METRICS_PORT", metricsPort);
        }
    }
    settings.alarmCommand = alarmCommand != nullptr ? alarmCommand : "";
    settings.metricsBind = metricsBind != nullptr ? metricsBind : "";
    return settings;
}

MonitorSettings readMonitorSettings() {
    return parseMonitorSettings(std::getenv("SILENCE_THRESHOLD"), std::getenv("SILENCE_SECONDS"),
                                std::getenv("ALARM_COMMAND"), std::getenv("METRICS_PORT"),
                                std::getenv("METRICS_BIND"));
}

}  // namespace zephrane
