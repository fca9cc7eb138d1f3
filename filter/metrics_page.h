#pragma once

#include <string>

#include "monitor_snapshot.h"

namespace zephrane {

// The snapshot in the Prometheus text exposition format (version 0.0.4).
std::string renderMetricsPage(const MonitorSnapshot& snapshot);

// The snapshot as the health page's JSON: status, active alarms, quantum, chunk, versions
// and the bypass reason.
std::string renderHealthPage(const MonitorSnapshot& snapshot);
// 200 unless failing, then 503, so an uptime monitor needs no parsing.
unsigned healthHttpStatus(const MonitorSnapshot& snapshot);

}  // namespace zephrane
