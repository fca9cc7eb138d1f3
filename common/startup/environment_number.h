#pragma once

namespace zephrane {

// strtol(text, base 10) as on the 32-bit target, where long saturates at the signed
// 32-bit limits, so a development machine reads the environment as the device does.
long environmentNumber(const char* text);

}  // namespace zephrane
