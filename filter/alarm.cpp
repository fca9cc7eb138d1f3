#include "alarm.h"

namespace zephrane {

bool Alarm::update(int64_t nowNs, bool raiseCondition, bool clearCondition) {
    const bool condition = active_ ? clearCondition : raiseCondition;
    if (!condition) {
        conditionSinceNs_.reset();
        return false;
    }
    if (!conditionSinceNs_) {
        conditionSinceNs_ = nowNs;
    }
    if (nowNs - *conditionSinceNs_ < (active_ ? clearAfterNs_ : raiseAfterNs_)) {
        return false;
    }
    active_ = !active_;
    conditionSinceNs_.reset();
    return true;
}

}  // namespace zephrane
