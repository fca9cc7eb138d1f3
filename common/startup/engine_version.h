#pragma once

namespace zephrane {

// What -V and -h print first, followed by the engine's version.
inline constexpr const char* VERSION_PREFIX = "KORVEX ZEPHRANE.QX Version ";

// The version text of the engine library; empty when the library gives none.
const char* engineVersion();

}  // namespace zephrane
