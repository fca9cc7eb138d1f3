#pragma once

#include <string>

#include "instance_settings.h"
#include "link_spec.h"

namespace zephrane {

// Registers the filter node "KORVEX ZEPHRANE.QX" in the PipeWire graph and runs the main
// loop until SIGINT or SIGTERM, or until the PipeWire connection is lost. Keeps the
// configured links of the node in the graph while it runs. Then stops the
// node and the current instance and ends the process: status 0 after a signal, 255 after
// a lost connection. Returns -1 only when the node cannot connect.
int runFilterNode(const InstanceSettings& settings, const std::string& clientName, const LinkSettings& links,
                  int argc, char** argv);

}  // namespace zephrane
