#include "stop_signals.h"

#include <csignal>

namespace zephrane {

void restoreDefaultStopSignals() {
    std::signal(SIGABRT, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
}

}  // namespace zephrane
