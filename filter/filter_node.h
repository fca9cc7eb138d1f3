#pragma once

#include <string>

#include "instance_settings.h"

namespace zephrane {

// Registers the filter node in the PipeWire graph and runs the main loop until SIGINT or
// SIGTERM. Returns the exit status (-1 when the connection fails).
int runFilterNode(const InstanceSettings& settings, const std::string& clientName, int argc, char** argv);

}  // namespace zephrane
