#include "change_text.h"

#include <cmath>

#include "log_text.h"

namespace zephrane::engine {

namespace {

using nlohmann::json;

void describeLeaves(const json& before, const json& after, const std::string& path, std::string& out) {
    for (const auto& [key, value] : after.items()) {
        std::string where = path.empty() ? key : path + "." + key;
        const json* old = before.is_object() && before.contains(key) ? &before[key] : nullptr;
        if (value.is_object()) {
            describeLeaves(old != nullptr ? *old : json(), value, where, out);
            continue;
        }
        if (!out.empty()) {
            out += ", ";
        }
        out += where + " " + (old != nullptr ? auditValue(*old) : "?") + " -> " + auditValue(value);
    }
}

}  // namespace

std::string auditValue(const json& value) {
    if (value.is_number_float()) {
        double number = value.get<double>();
        if (std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 1e15) {
            return std::to_string(static_cast<long long>(number));
        }
    }
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string describeSettingChanges(const json& before, const json& after) {
    std::string out;
    describeLeaves(before, after, "", out);
    return logText(out, 2000);
}

}  // namespace zephrane::engine
