#pragma once

#include "monitor_pages.h"
#include "monitor_settings.h"

namespace zephrane {

// Serves pages.answer() for GET /metrics and GET /health on METRICS_BIND:METRICS_PORT.
// through the shared HTTP layer, with its deadlines and per-address caps. A port that
// cannot be bound is logged at ERROR and the host runs on without it. Returns false when
// nothing is served. The pages outlive the endpoint.
bool startMetricsEndpoint(const MonitorSettings& settings, const MonitorPages& pages);
void stopMetricsEndpoint();

}  // namespace zephrane
