#include "metrics_endpoint.h"

#include <memory>

#include "log.h"
#include "log_text.h"
#include "net/http_endpoint.h"

namespace zephrane {

namespace {
// Started and stopped on the main loop only.
std::unique_ptr<net::HttpEndpoint> endpoint;
}  // namespace

bool startMetricsEndpoint(const MonitorSettings& settings, const MonitorPages& pages) {
    if (settings.metricsPort == 0 || endpoint) {
        return false;
    }
    auto answer = [&pages](std::string_view method, std::string_view target) {
        EndpointAnswer page = pages.answer(method, target);
        return net::HttpEndpoint::Answer{page.status, std::move(page.contentType), std::move(page.body)};
    };
    auto warn = [](const std::string& address, const std::string& reason) {
        ZLOG(LOG_WARN) << "Metrics endpoint: refused a connection from " << engine::logText(address) << ": "
                       << reason;
    };
    auto candidate = std::make_unique<net::HttpEndpoint>(answer, warn, net::HttpEndpoint::Limits{});
    std::string failure = candidate->start(settings.metricsPort, settings.metricsBind);
    std::string where = (settings.metricsBind.empty() ? std::string("*") : settings.metricsBind) + ":" +
                        std::to_string(settings.metricsPort);
    if (!failure.empty()) {
        // Audio first: the host runs on without metrics.
        ZLOG(LOG_ERROR) << "Metrics endpoint cannot listen on " << engine::logText(where) << ": " << failure;
        return false;
    }
    endpoint = std::move(candidate);
    ZLOG(LOG_INFO) << "Metrics endpoint listening on " << engine::logText(where);
    return true;
}

void stopMetricsEndpoint() {
    if (endpoint && !endpoint->stop()) {
        ZLOG(LOG_WARN) << "Metrics endpoint did not stop in time";
        // Its thread still holds what it uses; the object is not freed under it.
        (void)endpoint.release();
        return;
    }
    endpoint.reset();
}

}  // namespace zephrane
