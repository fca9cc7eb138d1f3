#pragma once

#include <optional>
#include <string>

#include "log_severity.h"

namespace zephrane {

// A PROC_VERB value: "-v" with up to `maxSteps` letters v raises the verbosity from INFO
// by the number of letters; anything else is unknown.
std::optional<LogSeverity> verbosityFromText(const std::string& text, int maxSteps);

}  // namespace zephrane
