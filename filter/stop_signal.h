#pragma once

#include <atomic>

#include "main_loop_side.h"

namespace zephrane {

// The running node's main loop side while the main loop may run; null before and after.
extern std::atomic<MainLoopSide*> activeNodeData;

// Handler for SIGTERM and SIGINT: restores the default actions, so a second signal ends
// the process at once, and asks the main loop to quit.
extern "C" void onStopSignal(int signalNumber);

// Installs onStopSignal for SIGTERM, then SIGINT.
void installStopSignalHandlers();

}  // namespace zephrane
