#pragma once

#include <functional>
#include <string>

namespace zephrane::web {

// Severities as in the engine's log callback: 2 ERROR, 3 WARN, 4 INFO, 5.. verbose, 10 DEBUG.
inline constexpr int kWebError = 2;
inline constexpr int kWebWarn = 3;
inline constexpr int kWebInfo = 4;
inline constexpr int kWebVerbose = 5;
inline constexpr int kWebDebug = 10;

// Where the web server's log lines go. May be empty (lines are dropped); called from any
// of the server's threads, so it must be thread-safe.
using WebLog = std::function<void(int severity, const std::string& text)>;

inline void webLog(const WebLog& log, int severity, const std::string& text) {
    if (log) {
        log(severity, text);
    }
}

}  // namespace zephrane::web
