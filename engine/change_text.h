#pragma once

// The text of audit lines: who changed what. Shared by the JSON port and the web
// interface, so a change reads the same whichever way it came.
#include <nlohmann/json.hpp>
#include <string>

namespace zephrane::engine {

// "in.gain -30 -> -20, out.gain 0 -> -5": every leaf of after with the value at the same
// path in before ("?" where before has none). Whole numbers are written without a
// fraction. Escaped for a log line.
std::string describeSettingChanges(const nlohmann::json& before, const nlohmann::json& after);

// The value as an audit line shows it: 0 for 0.0, -5.5, true, "text".
std::string auditValue(const nlohmann::json& value);

}  // namespace zephrane::engine
