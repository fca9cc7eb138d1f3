#pragma once

// What a ZephraneProcessHandle points to. In a header of its own so that other engine
// services (the web server) can reach a process's live core from the handle they get.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "process_core.h"
#include "update_loop.h"

struct ZephraneProcess {
    std::shared_ptr<zephrane::engine::ProcessCore> core;
    std::unique_ptr<zephrane::engine::UpdateLoop> loop;
    uint32_t frames = 0;
};

namespace zephrane::engine {

// A request handler with a client view of its own ("change" is per client), for a server
// in this process that speaks the control protocol on a process's behalf. The handler
// keeps the process core alive; calls must not overlap.
std::function<std::string(const std::string&)> makeControlHandler(std::shared_ptr<ProcessCore> core);

}  // namespace zephrane::engine
