#include "alarm_command.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <cerrno>
#include <cstring>
#include <vector>

#include "log.h"

extern char** environ;

namespace zephrane {

void AlarmCommand::stopAll() {
    for (auto& [name, slot] : slots_) {
        if (slot.pid > 0) {
            kill(-slot.pid, SIGKILL);
            while (waitpid(slot.pid, nullptr, 0) == -1 && errno == EINTR) {
            }
            slot.pid = -1;
        }
        slot.waiting.reset();
    }
}

void AlarmCommand::submit(const AlarmEvent& event, int64_t nowNs) {
    if (!enabled()) {
        return;
    }
    Slot& slot = slots_[event.name];
    if (slot.pid > 0) {
        slot.waiting = event;
    } else {
        start(slot, event, nowNs);
    }
}

void AlarmCommand::start(Slot& slot, const AlarmEvent& event, int64_t nowNs) {
    std::string state = event.raised ? "raised" : "cleared";
    std::vector<char*> arguments{program_.data(), const_cast<char*>(event.name.c_str()), state.data(),
                                 const_cast<char*>(event.value.c_str()), nullptr};
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    // A group of its own, so a time-out also ends what a script started; default signal
    // handling and an empty mask, whatever the host has set up.
    sigset_t none;
    sigset_t defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGABRT);
    posix_spawnattr_setpgroup(&attributes, 0);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes,
                             POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    int error = posix_spawnp(&pid, program_.c_str(), nullptr, &attributes, arguments.data(), environ);
    posix_spawnattr_destroy(&attributes);
    if (error != 0) {
        ZLOG(LOG_ERROR) << "Alarm command " << program_ << " could not start: " << std::strerror(error);
        return;
    }
    slot.pid = pid;
    slot.startedNs = nowNs;
    slot.killed = false;
}

void AlarmCommand::reap(const std::string& name, Slot& slot, int64_t nowNs) {
    int status = 0;
    pid_t ended = waitpid(slot.pid, &status, WNOHANG);
    if (ended == 0) {
        if (!slot.killed && nowNs - slot.startedNs >= timeLimitNs_) {
            ZLOG(LOG_WARN) << "Alarm command for " << name << " still runs after "
                           << timeLimitNs_ / 1'000'000'000 << " s, killing it";
            kill(-slot.pid, SIGKILL);
            slot.killed = true;
        }
        return;
    }
    if (ended == slot.pid && WIFEXITED(status) && WEXITSTATUS(status) != 0) {
        ZLOG(LOG_VERB) << "Alarm command for " << name << " ended with status " << WEXITSTATUS(status);
    }
    slot.pid = -1;
}

void AlarmCommand::poll(int64_t nowNs) {
    for (auto& [name, slot] : slots_) {
        if (slot.pid > 0) {
            reap(name, slot, nowNs);
        }
        if (slot.pid <= 0 && slot.waiting) {
            AlarmEvent event = std::move(*slot.waiting);
            slot.waiting.reset();
            start(slot, event, nowNs);
        }
    }
}

size_t AlarmCommand::running() const {
    size_t count = 0;
    for (const auto& [name, slot] : slots_) {
        count += slot.pid > 0 ? 1 : 0;
    }
    return count;
}

}  // namespace zephrane
