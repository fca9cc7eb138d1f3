#pragma once

#include <cstdint>

namespace zephrane::testing {

// Frame n of the test signal: a hash of n in [-0.5, 0.5), exact in float, so a delayed and
// scaled copy can be found sample for sample.
inline float testSignal(uint64_t n) {
    auto h = static_cast<uint32_t>(n * 2654435761u);
    return static_cast<float>((h >> 12) & 0xFFFF) / 65536.0f - 0.5f;
}

}  // namespace zephrane::testing
