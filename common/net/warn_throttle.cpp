#include "net/warn_throttle.h"

namespace zephrane::net {

bool WarnThrottle::due(const std::string& address, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (lastWarned_.size() > kPruneAbove) {
        std::erase_if(lastWarned_, [&](const auto& entry) { return now - entry.second >= interval_; });
    }
    auto [entry, inserted] = lastWarned_.try_emplace(address, now);
    if (inserted) {
        return true;
    }
    if (now - entry->second < interval_) {
        return false;
    }
    entry->second = now;
    return true;
}

}  // namespace zephrane::net
