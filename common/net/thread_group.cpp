#include "net/thread_group.h"

#include <pthread.h>
#include <signal.h>

#include <optional>
#include <thread>

namespace zephrane::net {

ThreadGroup::ThreadGroup(std::function<void()> afterEach) : afterEach_(std::move(afterEach)) {}

bool ThreadGroup::spawn(std::function<void()> job) {
    {
        std::lock_guard lock(count_->mutex);
        ++count_->live;
    }
    try {
        std::thread([count = count_, after = afterEach_, body = std::optional(std::move(job))]() mutable {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            (*body)();
            body.reset();  // its hold on the server ends here
            if (after) {
                after();
            }
            std::lock_guard lock(count->mutex);
            --count->live;
            count->ended.notify_all();
        }).detach();
        return true;
    } catch (...) {
        std::lock_guard lock(count_->mutex);
        --count_->live;
        return false;
    }
}

bool ThreadGroup::waitEnded(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(count_->mutex);
    return count_->ended.wait_until(lock, deadline, [this] { return count_->live == 0; });
}

int ThreadGroup::live() const {
    std::lock_guard lock(count_->mutex);
    return count_->live;
}

}  // namespace zephrane::net
