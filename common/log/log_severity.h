#pragma once

// Severities shared with the engine library: a higher number is more verbose.
namespace zephrane {

using LogSeverity = int;

inline constexpr LogSeverity LOG_NONE = 0;
inline constexpr LogSeverity LOG_FATAL = 1;
inline constexpr LogSeverity LOG_ERROR = 2;
inline constexpr LogSeverity LOG_WARN = 3;
inline constexpr LogSeverity LOG_INFO = 4;
inline constexpr LogSeverity LOG_VERB = 5;
inline constexpr LogSeverity LOG_VERB2 = 6;
inline constexpr LogSeverity LOG_VERB3 = 7;
inline constexpr LogSeverity LOG_VERB4 = 8;
inline constexpr LogSeverity LOG_VERB5 = 9;
inline constexpr LogSeverity LOG_DEBUG = 10;

// The printed name; anything outside 1..10 prints as "NONE".
const char* severityName(LogSeverity severity);

}  // namespace zephrane
