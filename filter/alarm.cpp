#include "alarm.h"

namespace zephrane {

bool Alarm::update(int64_t nowNs, bool raiseCondition, bool clearCondition) {
    const int64_t spanStartNs = lastUpdateNs_.value_or(nowNs);
    lastUpdateNs_ = nowNs;
    const bool condition = active_ ? clearCondition : raiseCondition;
    if (!condition) {
        conditionSinceNs_.reset();
        return false;
    }
    if (!conditionSinceNs_) {
        conditionSinceNs_ = spanStartNs;
    }
    if (nowNs - *conditionSinceNs_ < (active_ ? clearAfterNs_ : raiseAfterNs_)) {
        return false;
    }
    active_ = !active_;
    // The state just changed: the other condition is judged from now on.
    conditionSinceNs_.reset();
    return true;
}

}  // namespace zephrane
