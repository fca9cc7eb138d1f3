#pragma once

// The engine's own log lines. They go to the host's callback only, filtered by the
// severity the host set; the library never writes to stdout or stderr. Callable from any
// thread except the audio thread (building a line allocates).
#include <string>
#include <string_view>

#include "zephrane_engine.h"

namespace zephrane::engine {

inline constexpr int kFatal = 1;
inline constexpr int kError = 2;
inline constexpr int kWarn = 3;
inline constexpr int kInfo = 4;
inline constexpr int kVerb = 5;
inline constexpr int kVerb2 = 6;
inline constexpr int kDebug = 10;

void setLogSeverity(int severity);
void setLogCallback(ZephraneLogCallback callback);
bool logEnabled(int severity);
// Hands one line to the callback; swallows anything the callback throws.
void logLine(int severity, std::string_view text);

}  // namespace zephrane::engine
