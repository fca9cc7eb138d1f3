#pragma once

#include <vector>

#include "main_loop_side.h"
#include "realtime_side.h"

namespace zephrane {

// The filter node's record, handed to PipeWire as the filter's data: the main loop's side
// and the process callback's side, and the ports, which the main loop adds before the
// node is connected and the callback reads. Lives in the entry point for the whole run
// and is never copied.
struct FilterNodeData : MainLoopSide, RealtimeSide {
    FilterNodeData() = default;
    FilterNodeData(const FilterNodeData&) = delete;
    FilterNodeData& operator=(const FilterNodeData&) = delete;

    std::vector<void*> inputPorts;
    std::vector<void*> outputPorts;
};

}  // namespace zephrane
