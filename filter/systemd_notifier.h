#pragma once

#include <string>

namespace zephrane {

// Tells systemd about the host through sd_notify: readiness, a one-line status and the
// watchdog's keep-alive. Without NOTIFY_SOCKET (not started by systemd) nothing is sent.
class SystemdNotifier {
  public:
    void ready();
    void status(const std::string& line);
    void watchdog();
    void stopping();
};

}  // namespace zephrane
