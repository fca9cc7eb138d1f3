#include "host_monitor.h"

#include <pipewire/loop.h>

#include <cstdio>

#include "log.h"

namespace zephrane {

namespace {

constexpr int64_t WATCHDOG_INTERVAL_NS = NS_PER_SECOND;
constexpr int64_t STATUS_INTERVAL_NS = 5 * NS_PER_SECOND;
// A NaN-making engine would otherwise fill the log.
constexpr int64_t MEND_REPORT_INTERVAL_NS = 60 * NS_PER_SECOND;

const char* unitOf(const std::string& alarm) {
    if (alarm.rfind("silence", 0) == 0) {
        return " dBFS";
    }
    if (alarm == "clipping") {
        return " samples at full scale";
    }
    if (alarm == "overload") {
        return " % busy callbacks";
    }
    if (alarm == "unlinked") {
        return " configured links missing";
    }
    return "";
}

}  // namespace

HostMonitor::HostMonitor(const MonitorSettings& settings, AudioWatch& watch, Clock clock,
                         std::string engineVersion)
    : watch_(watch),
      clock_(clock),
      engineVersion_(std::move(engineVersion)),
      alarms_(settings),
      command_(settings.alarmCommand) {}

HostMonitor::~HostMonitor() {
    stop();
}

void HostMonitor::start(pw_loop* loop) {
    loop_ = loop;
    timer_ = pw_loop_add_timer(loop, onTimer, this);
    timespec interval{0, MONITOR_TICK_NS};
    pw_loop_update_timer(loop, timer_, &interval, &interval, false);
    systemd_.ready();
    tick(clock_());
}

void HostMonitor::stop() {
    if (timer_ != nullptr) {
        pw_loop_destroy_source(loop_, timer_);
        timer_ = nullptr;
        systemd_.stopping();
    }
    // The process ends right after this, without destructors.
    command_.stopAll();
}

void HostMonitor::onTimer(void* self, uint64_t) {
    auto& monitor = *static_cast<HostMonitor*>(self);
    monitor.tick(monitor.clock_());
}

void HostMonitor::report(const AlarmEvent& event) {
    // The bypass has its causes logged where they happen.
    if (event.name != "bypass") {
        if (event.raised) {
            ZLOG(LOG_WARN) << "Alarm " << event.name << " raised: " << event.value << unitOf(event.name);
        } else {
            ZLOG(LOG_INFO) << "Alarm " << event.name << " cleared: " << event.value << unitOf(event.name);
        }
    }
}

void HostMonitor::watchDataThread(int64_t nowNs, const WatchReading& reading) {
    const bool stuck = reading.callbackStartNs != 0 && nowNs - reading.callbackStartNs > STUCK_CALLBACK_NS;
    if (stuck != stuck_) {
        stuck_ = stuck;
        if (stuck) {
            ZLOG(LOG_ERROR) << "The audio thread has been in one cycle for over "
                            << STUCK_CALLBACK_NS / NS_PER_SECOND << " s, watchdog stopped";
        } else {
            ZLOG(LOG_INFO) << "The audio thread runs again, watchdog resumed";
        }
    }
}

void HostMonitor::feedWatchdog(int64_t nowNs) {
    if (!stuck_ && (!lastWatchdogNs_ || nowNs - *lastWatchdogNs_ >= WATCHDOG_INTERVAL_NS)) {
        systemd_.watchdog();
        lastWatchdogNs_ = nowNs;
    }
}

void HostMonitor::reportMendedSamples(int64_t nowNs) {
    const uint64_t mended = latest_.output.nonFinite;
    if (mended == reportedMended_ ||
        (lastMendReportNs_ && nowNs - *lastMendReportNs_ < MEND_REPORT_INTERVAL_NS)) {
        return;
    }
    ZLOG(LOG_WARN) << "NaN or infinite samples replaced by 0 on the output: " << mended << " so far";
    reportedMended_ = mended;
    lastMendReportNs_ = nowNs;
}

std::string HostMonitor::statusLine() const {
    std::string alarms;
    for (const std::string& name : alarms_.activeNames()) {
        alarms += (alarms.empty() ? "" : " ") + name;
    }
    char text[160];
    std::snprintf(text, sizeof(text), "%squantum %u, chunk %u, load %.1f %%, alarms: %s",
                  stuck_ ? "audio thread stuck, " : "", latest_.quantum, latest_.chunk, load_,
                  alarms.empty() ? "none" : alarms.c_str());
    return text;
}

void HostMonitor::tick(int64_t nowNs) {
    latest_ = watch_.read();
    const size_t missingLinks = missingLinks_ ? missingLinks_() : 0;
    for (const AlarmEvent& event : alarms_.update(nowNs, latest_, missingLinks)) {
        report(event);
        command_.submit(event, nowNs);
    }
    command_.poll(nowNs);
    watchDataThread(nowNs, latest_);
    reportMendedSamples(nowNs);

    MonitorSnapshot snapshot;
    snapshot.totals = latest_;
    snapshot.input = alarms_.inputLevels();
    snapshot.output = alarms_.outputLevels();
    for (const Alarm& alarm : alarms_.alarms()) {
        snapshot.alarms.emplace_back(alarm.name(), alarm.active());
    }
    snapshot.stuck = stuck_;
    snapshot.hostVersion = ZEPHRANE_HOST_VERSION;
    snapshot.engineVersion = engineVersion_;
    pages_.publish(snapshot);

    if (!lastStatusNs_ || nowNs - *lastStatusNs_ >= STATUS_INTERVAL_NS) {
        const double budget = latest_.budgetNanoseconds - atLastStatus_.budgetNanoseconds;
        load_ = budget > 0 ? 100.0 * (latest_.busyNanoseconds - atLastStatus_.busyNanoseconds) / budget : 0.0;
        atLastStatus_ = latest_;
        lastStatusNs_ = nowNs;
    }
    std::string status = statusLine();
    if (status != lastStatus_) {
        systemd_.status(status);
        lastStatus_ = std::move(status);
    }
    // After the status, so systemd learns of a hang before the keep-alive stops.
    feedWatchdog(nowNs);
}

}  // namespace zephrane
