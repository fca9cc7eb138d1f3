#pragma once

#include <mutex>
#include <string>
#include <string_view>

#include "monitor_snapshot.h"

namespace zephrane {

// An HTTP answer of the metrics endpoint, independent of the layer that sends it.
struct EndpointAnswer {
    unsigned status = 200;
    std::string contentType;
    std::string body;
};

// The latest metrics and health pages, rendered on the main loop and handed to whatever
// thread serves them.
class MonitorPages {
  public:
    void publish(const MonitorSnapshot& snapshot);
    // GET or HEAD of /metrics or /health; 404 for another path, 405 for another method.
    EndpointAnswer answer(std::string_view method, std::string_view target) const;

  private:
    mutable std::mutex mutex_;
    std::string metrics_ = "";
    std::string health_ = "{\"status\":\"ok\",\"alarms\":[]}\n";
    unsigned healthStatus_ = 200;
};

}  // namespace zephrane
