#include "state_store.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "atomic_file.h"
#include "engine_log.h"
#include "settings.h"

namespace zephrane::engine {

using nlohmann::json;

namespace {
constexpr std::string_view kPresetSuffix = ".json";

std::string dumpFile(const json& value) {
    return value.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}
}  // namespace

StateStore::StateStore(StoreOptions options) : options_(std::move(options)) {}

void StateStore::prepare() {
    if (options_.storageReadOnly) {
        writable_ = false;
        return;
    }
    std::string problem = makeDirectories(options_.dir);
    if (!problem.empty()) {
        logLine(kWarn, "Storage " + options_.dir + " unusable, running without saving: " + problem);
        writable_ = false;
        return;
    }
    writable_ = true;
}

bool StateStore::canWriteState() const {
    return writable_ && !options_.stateReadOnly;
}
bool StateStore::canWritePresets() const {
    return writable_;
}

std::string StateStore::presetDir() const {
    return joinPath(options_.dir, "presets");
}

json StateStore::loadState() {
    if (options_.dir.empty()) {
        return defaultSettings();
    }
    std::string path = joinPath(options_.dir, options_.stateName);
    std::string content, error;
    bool missing = false;
    if (!readWholeFile(path, content, error, missing)) {
        if (!missing) {
            logLine(kError, "State " + error + "; starting from defaults");
        } else {
            logLine(kInfo, "No state file " + path + "; starting from defaults");
        }
        return defaultSettings();
    }
    json stored = json::parse(content, nullptr, false);
    std::vector<std::string> problems;
    json settings = settingsFromStored(stored, problems);
    if (stored.is_discarded() || !stored.is_object()) {
        std::string reason = stored.is_discarded() ? "not valid JSON" : "not a JSON object";
        if (!canWriteState()) {
            logLine(kError, "State file " + path + " is damaged (" + reason + "); starting from defaults");
            return defaultSettings();
        }
        std::string newName;
        std::string problem = setFileAside(options_.dir, options_.stateName, newName);
        if (problem.empty()) {
            logLine(kError, "State file " + path + " is damaged (" + reason + "), kept as " + newName +
                                "; starting from defaults");
        } else {
            // It could not be moved: never overwrite what the user could still recover.
            logLine(kError, "State file " + path + " is damaged (" + reason +
                                ") and could not be kept aside (" + problem +
                                "); starting from defaults without saving the state");
            options_.stateReadOnly = true;
        }
        return defaultSettings();
    }
    if (!problems.empty()) {
        for (const std::string& problem : problems) {
            logLine(kWarn, "State file " + path + ": ignored " + problem);
        }
        std::string newName;
        if (canWriteState() && setFileAside(options_.dir, options_.stateName, newName).empty()) {
            logLine(kWarn, "State file " + path + " kept as " + newName + " before it is rewritten");
        }
    }
    logLine(kVerb, "State restored from " + path);
    return settings;
}

std::string StateStore::saveState(const json& settings) {
    if (!canWriteState()) {
        return {};
    }
    return writeFileAtomically(options_.dir, options_.stateName, dumpFile(settings));
}

std::string checkNewPresetName(std::string_view name) {
    if (name.empty()) {
        return "preset name is empty";
    }
    if (name.size() > kMaxPresetNameLength) {
        return "preset name is longer than " + std::to_string(kMaxPresetNameLength) + " characters";
    }
    if (name.front() == '.') {
        return "preset name starts with \".\"";
    }
    for (char c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != ' ' && c != '_' && c != '.' && c != '-') {
            return "preset name may only hold letters, digits, space, \"_\", \".\" and \"-\"";
        }
    }
    return {};
}

std::string StateStore::savePreset(const std::string& name, const json& settings) {
    std::string problem = checkFileName(name);
    if (problem.empty()) {
        problem = checkNewPresetName(name);
    }
    if (!problem.empty()) {
        return "preset name refused: " + problem;
    }
    if (!canWritePresets()) {
        return "storage is read-only";
    }
    problem = makeDirectories(presetDir());
    if (!problem.empty()) {
        return problem;
    }
    std::vector<std::string> existing = listPresets();
    if (existing.size() >= kMaxPresets &&
        std::find(existing.begin(), existing.end(), name) == existing.end()) {
        return "there are " + std::to_string(existing.size()) +
               " presets already, the most kept; delete one first";
    }
    return writeFileAtomically(presetDir(), name + std::string(kPresetSuffix), dumpFile(settings));
}

std::optional<json> StateStore::loadPreset(const std::string& name, std::string& error) {
    if (options_.dir.empty()) {
        error = "no storage directory";
        return std::nullopt;
    }
    error = checkFileName(name);
    if (!error.empty()) {
        error = "preset name refused: " + error;
        return std::nullopt;
    }
    std::string content;
    bool missing = false;
    if (!readWholeFile(joinPath(presetDir(), name + std::string(kPresetSuffix)), content, error, missing)) {
        if (missing) {
            error = "no preset named \"" + name + "\"";
        }
        return std::nullopt;
    }
    json stored = json::parse(content, nullptr, false);
    std::vector<std::string> problems;
    json settings = settingsFromStored(stored, problems);
    if (stored.is_discarded() || !problems.empty()) {
        error = "preset \"" + name + "\" is damaged" + (problems.empty() ? "" : ": " + problems.front());
        return std::nullopt;
    }
    return settings;
}

std::string StateStore::deletePreset(const std::string& name) {
    std::string problem = checkFileName(name);
    if (!problem.empty()) {
        return "preset name refused: " + problem;
    }
    if (!canWritePresets()) {
        return "storage is read-only";
    }
    std::string path = joinPath(presetDir(), name + std::string(kPresetSuffix));
    if (::unlink(path.c_str()) != 0) {
        return errno == ENOENT ? "no preset named \"" + name + "\""
                               : "remove " + path + ": " + std::strerror(errno);
    }
    return {};
}

std::vector<std::string> StateStore::listPresets() const {
    std::vector<std::string> names;
    if (options_.dir.empty()) {
        return names;
    }
    DIR* dir = ::opendir(presetDir().c_str());
    if (dir == nullptr) {
        return names;
    }
    while (dirent* entry = ::readdir(dir)) {
        std::string_view file = entry->d_name;
        if (file.size() > kPresetSuffix.size() && file.ends_with(kPresetSuffix) && file.front() != '.') {
            names.emplace_back(file.substr(0, file.size() - kPresetSuffix.size()));
        }
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

json StateStore::loadOnair() {
    if (options_.dir.empty()) {
        return nullptr;
    }
    std::string content, error;
    bool missing = false;
    if (!readWholeFile(joinPath(options_.dir, options_.onairName), content, error, missing)) {
        if (!missing) {
            logLine(kWarn, "On-air " + error);
        }
        return nullptr;
    }
    json onair = json::parse(content, nullptr, false);
    if (!onair.is_object() || !onair.contains("preset") || !onair["preset"].is_string()) {
        logLine(kWarn, "On-air file " + joinPath(options_.dir, options_.onairName) + " is damaged; ignored");
        return nullptr;
    }
    return onair;
}

std::string StateStore::saveOnair(const json& onair) {
    if (!canWritePresets()) {
        return {};
    }
    return writeFileAtomically(options_.dir, options_.onairName, dumpFile(onair));
}

}  // namespace zephrane::engine
