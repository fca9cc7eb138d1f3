#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "alarm.h"

namespace zephrane {

// Runs the operator's ALARM_COMMAND for each raise and clear, with the alarm's name,
// "raised" or "cleared" and its value as arguments. Started from the main loop without
// waiting for it; at most one runs per alarm, and an event that comes while one runs waits
// for it (a newer one replaces an older waiting one). A command that runs longer than its
// time limit is killed with its process group. Everything happens in poll().
class AlarmCommand {
  public:
    static constexpr int64_t DEFAULT_TIME_LIMIT_NS = 10'000'000'000;

    explicit AlarmCommand(std::string program, int64_t timeLimitNs = DEFAULT_TIME_LIMIT_NS)
        : program_(std::move(program)), timeLimitNs_(timeLimitNs) {}
    ~AlarmCommand() { stopAll(); }
    AlarmCommand(const AlarmCommand&) = delete;
    AlarmCommand& operator=(const AlarmCommand&) = delete;

    bool enabled() const { return !program_.empty(); }
    void submit(const AlarmEvent& event, int64_t nowNs);
    // Reaps ended commands, kills overdue ones and starts waiting ones.
    void poll(int64_t nowNs);
    // Commands started and not yet reaped.
    size_t running() const;
    // Kills and reaps what still runs and forgets what waits: the host is stopping.
    void stopAll();

  private:
    struct Slot {
        pid_t pid = -1;
        int64_t startedNs = 0;
        bool killed = false;
        std::optional<AlarmEvent> waiting;
    };

    void start(Slot& slot, const AlarmEvent& event, int64_t nowNs);
    void reap(const std::string& name, Slot& slot, int64_t nowNs);

    std::string program_;
    int64_t timeLimitNs_;
    std::map<std::string, Slot> slots_;
};

}  // namespace zephrane
