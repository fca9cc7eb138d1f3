#pragma once

// The writable settings: their names, units, ranges and defaults, and the checks every
// change goes through. The settings live as a JSON object {"in":{"gain":0}, ...} with
// every value a number; values outside their range are refused, never clamped.
#include <nlohmann/json.hpp>
#include <span>
#include <string>
#include <string_view>

#include "audio_chain.h"

namespace zephrane::engine {

struct SettingDef {
    std::string_view group;
    std::string_view key;
    double min;
    double max;
    double defaultValue;
    std::string_view unit;
};

std::span<const SettingDef> settingDefs();
// "in.gain" -> its definition, or null.
const SettingDef* findSetting(std::string_view dottedPath);
// Top-level names that can be read but not set.
bool isReadOnlyGroup(std::string_view group);

nlohmann::json defaultSettings();

// Checks one value; empty when good, else the reason (naming the allowed range).
std::string checkSettingValue(const SettingDef& def, const nlohmann::json& value);

// Checks a patch such as {"in":{"gain":-30}}: an object of groups of known keys with
// good values. Empty when the whole patch is good; nothing is applied on error.
std::string checkSettingsPatch(const nlohmann::json& patch);

// Merges a checked patch; numbers are stored as doubles.
void mergeSettings(nlohmann::json& settings, const nlohmann::json& patch);

// The same shape as patch, with the values now in settings.
nlohmann::json pickSettings(const nlohmann::json& settings, const nlohmann::json& patch);

// Reads settings written by an earlier run: good values are taken, anything else is
// reported in problems (one text each) and left at its current value.
nlohmann::json settingsFromStored(const nlohmann::json& stored, std::vector<std::string>& problems);

AudioParams audioParamsFrom(const nlohmann::json& settings);

}  // namespace zephrane::engine
