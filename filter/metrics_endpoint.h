#pragma once

#include "monitor_pages.h"
#include "monitor_settings.h"

namespace zephrane {

// Serves pages.answer() for GET /metrics and GET /health on METRICS_BIND:METRICS_PORT.
// This is where the shared HTTP layer takes over, with its deadlines and per-address
// caps; until it is part of the host the endpoint is not served, which is logged once.
// Returns false when nothing is served. The pages outlive the endpoint.
bool startMetricsEndpoint(const MonitorSettings& settings, const MonitorPages& pages);
void stopMetricsEndpoint();

}  // namespace zephrane
