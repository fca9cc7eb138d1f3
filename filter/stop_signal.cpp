#include "stop_signal.h"

#include <pipewire/main-loop.h>

#include <csignal>

namespace zephrane {

std::atomic<FilterNodeData*> activeNodeData{nullptr};

extern "C" void onStopSignal(int) {
    std::signal(SIGABRT, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    FilterNodeData* data = activeNodeData.load();
    if (data != nullptr && data->loop != nullptr) {
        pw_main_loop_quit(data->loop);
    }
}

void installStopSignalHandlers() {
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);
}

}  // namespace zephrane
