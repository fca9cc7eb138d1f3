#include "environment_number.h"

#include <cstdint>
#include <cstdlib>

namespace zephrane {

long environmentNumber(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        return INT32_MAX;
    }
    if (value < INT32_MIN) {
        return INT32_MIN;
    }
    return value;
}

}  // namespace zephrane
