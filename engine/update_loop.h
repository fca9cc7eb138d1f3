#pragma once

// The engine's event loop for one process (zephrane_StartUpdateThread): serves the JSON
// control port, if any, and saves the state at most about once a second. Runs on the
// caller's thread until stop().
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "line_server.h"
#include "process_core.h"

namespace zephrane::engine {

class UpdateLoop {
  public:
    static constexpr size_t kMaxClients = 64;

    explicit UpdateLoop(std::shared_ptr<ProcessCore> core);
    ~UpdateLoop();
    UpdateLoop(const UpdateLoop&) = delete;
    UpdateLoop& operator=(const UpdateLoop&) = delete;

    // Blocks until stop(). Port 0: no listener. Returns 0 after a stop, negative when the
    // port could not be opened (at once) or the loop already ran.
    int run(uint32_t port);
    // 0 once running (and listening); -1 on time-out, -2 when the port could not be
    // opened, -3 when stopped before it got ready.
    int waitReady(int timeoutMs);
    // Any thread; also before run(), which then returns at once.
    void stop();
    // Waits until run() has returned (or never started). False on time-out.
    bool waitFinished(int timeoutMs);

  private:
    enum class State { Idle, Ready, Failed, Stopped };

    void serve(uint32_t port, int listenFd);
    void acceptClients(int listenFd);
    void readFrom(Connection& connection);
    void writeTo(Connection& connection);
    void adopt(std::vector<std::unique_ptr<Connection>> connections);

    std::shared_ptr<ProcessCore> core_;
    Waker waker_;
    std::mutex mutex_;
    std::condition_variable stateChanged_;
    State state_ = State::Idle;
    bool stopRequested_ = false;
    bool running_ = false;
    std::vector<std::unique_ptr<Connection>> clients_;
};

}  // namespace zephrane::engine
