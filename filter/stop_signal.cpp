#include "stop_signal.h"

#include <pipewire/main-loop.h>

#include <csignal>

#include "stop_signals.h"

namespace zephrane {

std::atomic<MainLoopSide*> activeNodeData{nullptr};

extern "C" void onStopSignal(int) {
    restoreDefaultStopSignals();
    MainLoopSide* data = activeNodeData.load();
    if (data != nullptr && data->loop != nullptr) {
        pw_main_loop_quit(data->loop);
    }
}

void installStopSignalHandlers() {
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
}

}  // namespace zephrane
