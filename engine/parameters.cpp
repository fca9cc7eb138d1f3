#include "parameters.h"

#include <nlohmann/json.hpp>

#include "atomic_file.h"
#include "engine_log.h"
#include "settings.h"

namespace zephrane::engine {

namespace {

bool readFlag(const std::string& key, const std::string& value) {
    if (value == "1" || value == "true" || value == "yes") {
        return true;
    }
    if (!value.empty() && value != "0" && value != "false" && value != "no") {
        logLine(kWarn, "Parameter " + key + ": \"" + value + "\" is not 0 or 1; taken as 0");
    }
    return false;
}

}  // namespace

bool readProcessOptions(const ZephraneParameters* parameters, const char* storagePath,
                        ProcessOptions& options, std::string& error) {
    options = ProcessOptions{};
    options.store.dir = storagePath != nullptr ? storagePath : "";
    if (parameters == nullptr) {
        return true;
    }
    for (const auto& [key, value] : parameters->values) {
        if (key == "STATE_FILENAME" || key == "STATE_ONAIR") {
            std::string problem = checkFileName(value);
            if (!problem.empty()) {
                error = "Parameter " + key + " refused: " + problem;
                return false;
            }
            (key == "STATE_FILENAME" ? options.store.stateName : options.store.onairName) = value;
        } else if (key == "STORAGE_RO") {
            options.store.storageReadOnly = readFlag(key, value);
        } else if (key == "STATE_RO") {
            options.store.stateReadOnly = readFlag(key, value);
        } else if (const SettingDef* def = findSetting(key)) {
            nlohmann::json number = nlohmann::json::parse(value, nullptr, false);
            std::string problem =
                checkSettingValue(*def, number.is_discarded() ? nlohmann::json(value) : number);
            if (!problem.empty()) {
                logLine(kWarn, "Parameter " + key + " ignored: " + problem);
                continue;
            }
            options.startValues.emplace_back(key, number.get<double>());
        } else {
            logLine(kWarn, "Parameter " + key + " is unknown; ignored");
        }
    }
    if (options.store.stateName == options.store.onairName) {
        error = "Parameters STATE_FILENAME and STATE_ONAIR name the same file \"" + options.store.stateName +
                "\"";
        return false;
    }
    return true;
}

}  // namespace zephrane::engine
