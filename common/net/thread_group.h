#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

namespace zephrane::net {

// The threads of one server (its I/O threads, a poller), counted so a stop can wait for
// them with a time-out. A thread lets go of what its job holds before it reports its end,
// so after a wait that succeeded the owner alone releases the server.
//
// A write to a closed peer must not raise SIGPIPE in the host, so the signal is blocked on
// these threads.
class ThreadGroup {
  public:
    // afterEach runs on each thread after its job (say, to free a library's per-thread
    // state while the process is certainly still alive).
    explicit ThreadGroup(std::function<void()> afterEach = {});

    // False when no thread could be made.
    bool spawn(std::function<void()> job);
    // True once every thread spawned so far has ended; false at the deadline.
    bool waitEnded(std::chrono::steady_clock::time_point deadline);
    int live() const;

  private:
    struct Count {
        mutable std::mutex mutex;
        std::condition_variable ended;
        int live = 0;
    };
    std::shared_ptr<Count> count_ = std::make_shared<Count>();
    std::function<void()> afterEach_;
};

}  // namespace zephrane::net
