#pragma once

#include <chrono>
#include <map>
#include <mutex>
#include <string>

namespace zephrane::net {

// Lets one warning per client address through per interval, so a client that is turned
// away a thousand times costs one log line a minute, not a flood. Bounded: entries older
// than the interval are dropped as the map grows.
class WarnThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    explicit WarnThrottle(std::chrono::seconds interval = std::chrono::seconds(60)) : interval_(interval) {}

    // True when a warning about this address may be logged now.
    bool due(const std::string& address, Clock::time_point now = Clock::now());

  private:
    static constexpr size_t kPruneAbove = 1024;
    const std::chrono::seconds interval_;
    std::mutex mutex_;
    std::map<std::string, Clock::time_point> lastWarned_;
};

}  // namespace zephrane::net
