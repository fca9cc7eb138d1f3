#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace zephrane {

// One raise or clear of an alarm, with the value that decided it as plain text (a number,
// or for the bypass its reason).
struct AlarmEvent {
    std::string name;
    bool raised = false;
    std::string value;
};

// An alarm with hysteresis: raised once its raise condition has held for `raiseAfterNs`,
// cleared once its clear condition has held for `clearAfterNs`. A moment in which the
// condition does not hold starts the count again. Each update judges the span since the
// update before, so a condition seen first holds from the start of that span. Time is
// whatever clock the caller uses.
class Alarm {
  public:
    Alarm(std::string name, int64_t raiseAfterNs, int64_t clearAfterNs)
        : name_(std::move(name)), raiseAfterNs_(raiseAfterNs), clearAfterNs_(clearAfterNs) {}

    // True when this update raised or cleared the alarm.
    bool update(int64_t nowNs, bool raiseCondition, bool clearCondition);

    const std::string& name() const { return name_; }
    bool active() const { return active_; }
    void setRaiseAfter(int64_t ns) { raiseAfterNs_ = ns; }

  private:
    std::string name_;
    int64_t raiseAfterNs_;
    int64_t clearAfterNs_;
    bool active_ = false;
    std::optional<int64_t> conditionSinceNs_;
    std::optional<int64_t> lastUpdateNs_;
};

}  // namespace zephrane
