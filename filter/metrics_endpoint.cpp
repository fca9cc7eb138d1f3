#include "metrics_endpoint.h"

#include "log.h"

namespace zephrane {

bool startMetricsEndpoint(const MonitorSettings& settings, const MonitorPages&) {
    if (settings.metricsPort == 0) {
        return false;
    }
    ZLOG(LOG_WARN) << "METRICS_PORT " << settings.metricsPort
                   << " is set, but this build serves no metrics endpoint yet";
    return false;
}

void stopMetricsEndpoint() {}

}  // namespace zephrane
