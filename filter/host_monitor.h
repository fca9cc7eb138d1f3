#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "alarm_command.h"
#include "alarm_set.h"
#include "audio_watch.h"
#include "monitor_pages.h"
#include "monitor_settings.h"
#include "systemd_notifier.h"

struct pw_loop;
struct spa_source;

namespace zephrane {

// The data thread counts as stuck after this long inside one callback; the watchdog
// keep-alive stops then, so systemd restarts the host.
inline constexpr int64_t STUCK_CALLBACK_NS = 5 * NS_PER_SECOND;
inline constexpr int64_t MONITOR_TICK_NS = 250'000'000;

// The main loop's side of unattended operation: a few times a second it reads the audio
// watch, judges the alarms (one log line per raise and clear, the alarm command), keeps
// systemd's watchdog fed while the data thread makes progress, refreshes the status line
// and renders the metrics and health pages.
class HostMonitor {
  public:
    using Clock = int64_t (*)();

    HostMonitor(const MonitorSettings& settings, AudioWatch& watch, Clock clock, std::string engineVersion);
    ~HostMonitor();
    HostMonitor(const HostMonitor&) = delete;
    HostMonitor& operator=(const HostMonitor&) = delete;

    // Tells systemd the host is ready and ticks on `loop` from now on.
    void start(pw_loop* loop);
    // Stops ticking (before the loop goes) and ends running alarm commands.
    void stop();

    // Where the number of configured links missing from the graph comes from; none: no
    // links are configured.
    void watchLinks(std::function<size_t()> missingLinks) { missingLinks_ = std::move(missingLinks); }

    void tick(int64_t nowNs);
    const MonitorPages& pages() const { return pages_; }
    const AlarmSet& alarms() const { return alarms_; }
    // The line systemd shows as the unit's status.
    std::string statusLine() const;

  private:
    static void onTimer(void* self, uint64_t expirations);
    void report(const AlarmEvent& event);
    void watchDataThread(int64_t nowNs, const WatchReading& reading);
    void feedWatchdog(int64_t nowNs);
    // Engine output that was not a number is a fault of the engine worth a log line.
    void reportMendedSamples(int64_t nowNs);

    AudioWatch& watch_;
    Clock clock_;
    std::string engineVersion_;
    AlarmSet alarms_;
    AlarmCommand command_;
    SystemdNotifier systemd_;
    MonitorPages pages_;
    WatchReading latest_;
    WatchReading atLastStatus_;
    double load_ = 0;
    bool stuck_ = false;
    std::optional<int64_t> lastWatchdogNs_;
    std::optional<int64_t> lastStatusNs_;
    std::string lastStatus_;
    uint64_t reportedMended_ = 0;
    std::optional<int64_t> lastMendReportNs_;
    std::function<size_t()> missingLinks_;
    pw_loop* loop_ = nullptr;
    spa_source* timer_ = nullptr;
};

}  // namespace zephrane
