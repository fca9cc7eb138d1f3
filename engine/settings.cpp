#include "settings.h"

#include <array>
#include <cmath>
#include <cstdio>

#include "dsp_kernels.h"
#include "limiter.h"

namespace zephrane::engine {

using nlohmann::json;

namespace {

constexpr std::array<SettingDef, 4> kDefs{{
    {"in", "gain", -80.0, 24.0, 0.0, "dB"},
    {"out", "gain", -80.0, 24.0, 0.0, "dB"},
    {"limiter", "ceiling", -30.0, 0.0, -1.0, "dBFS"},
    {"limiter", "release", 1.0, 5000.0, 100.0, "ms"},
}};

std::string formatNumber(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

bool isGroup(std::string_view name) {
    for (const SettingDef& def : kDefs) {
        if (def.group == name) {
            return true;
        }
    }
    return false;
}

const SettingDef* findIn(std::string_view group, std::string_view key) {
    for (const SettingDef& def : kDefs) {
        if (def.group == group && def.key == key) {
            return &def;
        }
    }
    return nullptr;
}

std::string dotted(const SettingDef& def) {
    return std::string(def.group) + "." + std::string(def.key);
}

}  // namespace

std::span<const SettingDef> settingDefs() {
    return kDefs;
}

const SettingDef* findSetting(std::string_view dottedPath) {
    size_t dot = dottedPath.find('.');
    if (dot == std::string_view::npos) {
        return nullptr;
    }
    return findIn(dottedPath.substr(0, dot), dottedPath.substr(dot + 1));
}

bool isReadOnlyGroup(std::string_view group) {
    return group == "meter" || group == "meta" || group == "info" || group == "preset";
}

json defaultSettings() {
    json settings = json::object();
    for (const SettingDef& def : kDefs) {
        settings[std::string(def.group)][std::string(def.key)] = def.defaultValue;
    }
    return settings;
}

std::string checkSettingValue(const SettingDef& def, const json& value) {
    if (!value.is_number()) {
        return dotted(def) + ": expected a number (" + std::string(def.unit) + "), got " +
               std::string(value.type_name());
    }
    double number = value.get<double>();
    if (!(number >= def.min && number <= def.max)) {
        return dotted(def) + ": " + value.dump(-1, ' ', false, json::error_handler_t::replace) +
               " is out of range [" + formatNumber(def.min) + ", " + formatNumber(def.max) + "] " +
               std::string(def.unit);
    }
    return {};
}

std::string checkSettingsPatch(const json& patch) {
    if (!patch.is_object()) {
        return "set: expected an object of settings, got " + std::string(patch.type_name());
    }
    for (const auto& [group, members] : patch.items()) {
        if (isReadOnlyGroup(group)) {
            return group + " is read-only";
        }
        if (!isGroup(group)) {
            return "unknown setting group \"" + group + "\"";
        }
        if (!members.is_object()) {
            return group + ": expected an object, got " + std::string(members.type_name());
        }
        for (const auto& [key, value] : members.items()) {
            const SettingDef* def = findIn(group, key);
            if (def == nullptr) {
                return "unknown setting \"" + group + "." + key + "\"";
            }
            std::string problem = checkSettingValue(*def, value);
            if (!problem.empty()) {
                return problem;
            }
        }
    }
    return {};
}

void mergeSettings(json& settings, const json& patch) {
    for (const auto& [group, members] : patch.items()) {
        for (const auto& [key, value] : members.items()) {
            settings[group][key] = value.get<double>();
        }
    }
}

json pickSettings(const json& settings, const json& patch) {
    json picked = json::object();
    for (const auto& [group, members] : patch.items()) {
        picked[group] = json::object();
        for (const auto& [key, value] : members.items()) {
            picked[group][key] = settings.at(group).at(key);
        }
    }
    return picked;
}

json settingsFromStored(const json& stored, std::vector<std::string>& problems) {
    json settings = defaultSettings();
    if (!stored.is_object()) {
        problems.push_back("not a JSON object");
        return settings;
    }
    for (const auto& [group, members] : stored.items()) {
        if (!isGroup(group) || !members.is_object()) {
            problems.push_back("unexpected entry \"" + group + "\"");
            continue;
        }
        for (const auto& [key, value] : members.items()) {
            const SettingDef* def = findIn(group, key);
            if (def == nullptr) {
                problems.push_back("unknown setting \"" + group + "." + key + "\"");
                continue;
            }
            std::string problem = checkSettingValue(*def, value);
            if (!problem.empty()) {
                problems.push_back(problem);
                continue;
            }
            settings[group][key] = value.get<double>();
        }
    }
    return settings;
}

AudioParams audioParamsFrom(const json& settings) {
    AudioParams params;
    double inGain = settings.at("in").at("gain").get<double>();
    double outGain = settings.at("out").at("gain").get<double>();
    params.gain = dbToGain(static_cast<float>(inGain + outGain));
    params.ceiling = dbToGain(settings.at("limiter").at("ceiling").get<float>());
    params.releaseCoefficient =
        Limiter::releaseCoefficientFor(settings.at("limiter").at("release").get<float>());
    return params;
}

}  // namespace zephrane::engine
