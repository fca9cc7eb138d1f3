#include "systemd_notifier.h"

#include <systemd/sd-daemon.h>

namespace zephrane {

void SystemdNotifier::ready() {
    sd_notify(0, "READY=1");
}

void SystemdNotifier::status(const std::string& line) {
    sd_notify(0, ("STATUS=" + line).c_str());
}

void SystemdNotifier::watchdog() {
    sd_notify(0, "WATCHDOG=1");
}

void SystemdNotifier::stopping() {
    sd_notify(0, "STOPPING=1");
}

}  // namespace zephrane
