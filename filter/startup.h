#pragma once

#include <optional>
#include <string>

#include "instance_settings.h"

namespace zephrane {

// What start-up hands to the filter node, or the status to exit with.
struct StartupResult {
    std::optional<InstanceSettings> settings;  // empty: exit with exitStatus
    std::string clientName;
    int exitStatus = 0;
};

// Sets up logging, reads the environment and the command line, registers the engine
// log bridge and checks the engine's fixed audio properties. Ends the process itself
// for -h and -V.
StartupResult runStartup(int argc, char** argv);

}  // namespace zephrane
