#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace zephrane {

using KeyValueList = std::vector<std::pair<std::string, std::string>>;

// The host's settings for creating a processing instance, filled once at start-up.
struct InstanceSettings {
    std::string stateName;
    std::string onairName;
    bool storageReadOnly = false;
    bool stateReadOnly = false;
    KeyValueList parameters;
    KeyValueList metadata;
    std::filesystem::path storagePath;
    uint16_t jsonPort = 0;
    uint32_t httpPort = 0;
    uint32_t httpsPort = 0;
};

}  // namespace zephrane
