#pragma once

// The engine's event loop for one process (zephrane_StartUpdateThread): serves the JSON
// control port, if any, and saves the state at most about once a second. Runs on the
// caller's thread until stop().
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line_server.h"
#include "net/client_caps.h"
#include "net/warn_throttle.h"
#include "process_core.h"

namespace zephrane::engine {

// Who may use the JSON port, and for how long.
struct JsonPortSettings {
    std::string bindAddress;  // PROC_BIND; empty: every interface
    std::string secret;       // PROC_SECRET; empty: no auth line asked for
    size_t maxClients = 64;
    size_t maxPerAddress = 8;
    std::chrono::milliseconds idleTimeout{60000};  // a client that sends nothing is closed
    std::chrono::milliseconds authTimeout{5000};   // to send the auth line
};

// PROC_BIND and PROC_SECRET from the environment, the rest as default.
JsonPortSettings jsonPortSettingsFromEnvironment();

// Failed auth lines per client address: each failure doubles the time (up to a minute)
// in which that address's next attempt is refused unchecked, so a secret cannot be
// guessed at speed.
class AuthThrottle {
  public:
    using Clock = std::chrono::steady_clock;
    bool blocked(const std::string& address, Clock::time_point now);
    void failed(const std::string& address, Clock::time_point now);
    void succeeded(const std::string& address);

  private:
    struct Entry {
        int failures = 0;
        Clock::time_point until{};
    };
    std::map<std::string, Entry> entries_;
};

class UpdateLoop {
  public:
    explicit UpdateLoop(std::shared_ptr<ProcessCore> core,
                        JsonPortSettings settings = jsonPortSettingsFromEnvironment());
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
    void authenticate(Connection& client, std::string_view line);
    void closeAfterReply(Connection& client, std::string_view reason);
    void closeSilentClients(std::chrono::steady_clock::time_point now);

    const JsonPortSettings settings_;
    net::ClientCaps caps_;
    net::WarnThrottle warnings_;
    AuthThrottle authFailures_;

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
