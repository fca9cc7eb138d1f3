#include "session.h"

#include <algorithm>
#include <filesystem>
#include <map>

#include "atomic_file.h"
#include "engine_log.h"
#include "log_text.h"
#include "settings.h"

namespace zephrane::engine {

using nlohmann::json;

namespace {

std::mutex registryMutex;
std::map<std::string, std::weak_ptr<Session>>& registry() {
    static auto* sessions = new std::map<std::string, std::weak_ptr<Session>>;  // outlives exit-time users
    return *sessions;
}

std::string sessionKey(const StoreOptions& options) {
    std::error_code error;
    std::filesystem::path dir =
        std::filesystem::weakly_canonical(std::filesystem::absolute(options.dir, error), error);
    return (error ? options.dir : dir.string()) + '\n' + options.stateName;
}

}  // namespace

std::shared_ptr<Session> Session::open(const StoreOptions& options, const StartValues& startValues,
                                       bool& joined) {
    std::string key = sessionKey(options);
    std::lock_guard lock(registryMutex);
    if (auto live = registry()[key].lock()) {
        joined = true;
        return live;
    }
    joined = false;
    auto session = std::make_shared<Session>(options);
    json patch = json::object();
    for (const auto& [path, value] : startValues) {
        size_t dot = path.find('.');
        patch[path.substr(0, dot)][path.substr(dot + 1)] = value;
    }
    if (!patch.empty()) {
        mergeSettings(session->settings_, patch);
    }
    registry()[key] = session;
    // Drop entries of sessions that are gone.
    for (auto it = registry().begin(); it != registry().end();) {
        it = it->second.expired() ? registry().erase(it) : std::next(it);
    }
    return session;
}

Session::Session(const StoreOptions& options) : store_(options) {
    store_.prepare();
    settings_ = store_.loadState();
    json recorded = store_.loadOnair();
    onair_ = {{"onair", nullptr}, {"since", nullptr}};
    if (recorded.is_object()) {
        onair_["onair"] = recorded["preset"];
        if (recorded.contains("since") && recorded["since"].is_string()) {
            onair_["since"] = recorded["since"];
        }
    }
}

Session::~Session() = default;

json Session::settings() const {
    std::lock_guard lock(mutex_);
    return settings_;
}

json Session::onair() const {
    std::lock_guard lock(mutex_);
    return onair_;
}

void Session::changed() {
    ++version_;
    AudioParams params = audioParamsFrom(settings_);
    for (AudioChain* chain : chains_) {
        chain->publish(params);
    }
}

std::string Session::set(const json& patch, json& inForce, json* previous) {
    std::string problem = checkSettingsPatch(patch);
    if (!problem.empty()) {
        return problem;
    }
    std::lock_guard lock(mutex_);
    json before = settings_;
    if (previous != nullptr) {
        *previous = pickSettings(before, patch);
    }
    mergeSettings(settings_, patch);
    if (settings_ != before) {
        changed();
    }
    inForce = pickSettings(settings_, patch);
    return {};
}

std::string Session::savePreset(const std::string& name) {
    std::string problem = store_.savePreset(name, settings());
    if (problem.empty()) {
        logLine(kVerb, "Preset \"" + logText(name) + "\" saved");
    }
    return problem;
}

std::string Session::loadPreset(const std::string& name) {
    std::string problem;
    std::optional<json> preset = store_.loadPreset(name, problem);
    if (!preset) {
        return problem;
    }
    json record = {{"preset", name}, {"since", utcTimeText()}};
    {
        std::lock_guard lock(mutex_);
        settings_ = *preset;
        onair_ = {{"onair", name}, {"since", record["since"]}};
        changed();
    }
    problem = store_.saveOnair(record);
    if (!problem.empty()) {
        logLine(kError, "Could not record preset \"" + logText(name) + "\" as on air: " + logText(problem));
    }
    logLine(kVerb, "Preset \"" + logText(name) + "\" on air");
    return {};
}

std::string Session::deletePreset(const std::string& name) {
    std::string problem = store_.deletePreset(name);
    if (problem.empty()) {
        logLine(kVerb, "Preset \"" + logText(name) + "\" deleted");
    }
    return problem;
}

std::vector<std::string> Session::listPresets() const {
    return store_.listPresets();
}

void Session::attach(AudioChain* chain) {
    std::lock_guard lock(mutex_);
    chains_.push_back(chain);
    chain->publish(audioParamsFrom(settings_));
}

void Session::detach(AudioChain* chain) {
    std::lock_guard lock(mutex_);
    chains_.erase(std::remove(chains_.begin(), chains_.end(), chain), chains_.end());
}

void Session::saveIfDue(std::chrono::steady_clock::time_point now) {
    {
        std::lock_guard lock(mutex_);
        if (version_ == savedVersion_ || now - lastSave_ < std::chrono::seconds(1)) {
            return;
        }
        lastSave_ = now;
    }
    save();
}

void Session::flush() {
    save();
}

void Session::save() {
    std::lock_guard saveLock(saveMutex_);
    json snapshot;
    uint64_t version;
    {
        std::lock_guard lock(mutex_);
        if (version_ == savedVersion_) {
            return;
        }
        snapshot = settings_;
        version = version_;
    }
    if (!store_.canWriteState()) {
        std::lock_guard lock(mutex_);
        savedVersion_ = version;
        return;
    }
    std::string problem = store_.saveState(snapshot);
    std::lock_guard lock(mutex_);
    if (problem.empty()) {
        savedVersion_ = version;
        lastSaveFailed_ = false;
        logLine(kVerb2, "State saved to " + joinPath(store_.options().dir, store_.options().stateName));
    } else {
        logLine(lastSaveFailed_ ? kVerb : kError, "State not saved: " + problem);
        lastSaveFailed_ = true;
    }
}

}  // namespace zephrane::engine
