#include "verbosity_text.h"

namespace zephrane {

std::optional<LogSeverity> verbosityFromText(const std::string& text, int maxSteps) {
    if (text.size() < 2 || text.size() > static_cast<size_t>(maxSteps) + 1 || text[0] != '-') {
        return std::nullopt;
    }
    if (text.find_first_not_of('v', 1) != std::string::npos) {
        return std::nullopt;
    }
    return LOG_INFO + static_cast<LogSeverity>(text.size() - 1);
}

}  // namespace zephrane
