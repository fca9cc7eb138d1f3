#pragma once

// Client text in log lines. Keys, preset names, user names and addresses come from the
// network; written raw, a line feed or a terminal control sequence in them could forge or
// hide log lines. Everything that came from a client goes through logText first.
#include <cstddef>
#include <string>
#include <string_view>

namespace zephrane::engine {

inline constexpr size_t kMaxLogTextBytes = 200;

// The text with control characters, DEL, backslashes and bytes that are not valid UTF-8
// written as \xNN (a backslash as \\), cut after maxBytes input bytes with "..." appended.
// Printable ASCII and valid UTF-8 pass unchanged.
std::string logText(std::string_view text, size_t maxBytes = kMaxLogTextBytes);

}  // namespace zephrane::engine
