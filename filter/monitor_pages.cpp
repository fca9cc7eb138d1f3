#include "monitor_pages.h"

#include "metrics_page.h"

namespace zephrane {

void MonitorPages::publish(const MonitorSnapshot& snapshot) {
    std::string metrics = renderMetricsPage(snapshot);
    std::string health = renderHealthPage(snapshot);
    unsigned status = healthHttpStatus(snapshot);
    std::lock_guard lock(mutex_);
    metrics_ = std::move(metrics);
    health_ = std::move(health);
    healthStatus_ = status;
}

EndpointAnswer MonitorPages::answer(std::string_view method, std::string_view target) const {
    // The query part plays no role.
    std::string_view path = target.substr(0, target.find('?'));
    if (path != "/metrics" && path != "/health") {
        return {404, "text/plain; charset=utf-8", "not found\n"};
    }
    if (method != "GET" && method != "HEAD") {
        return {405, "text/plain; charset=utf-8", "method not allowed\n"};
    }
    std::lock_guard lock(mutex_);
    if (path == "/metrics") {
        return {200, "text/plain; version=0.0.4; charset=utf-8", metrics_};
    }
    return {healthStatus_, "application/json", health_};
}

}  // namespace zephrane
