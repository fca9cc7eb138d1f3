#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "web_log.h"

namespace zephrane::web {

// The web server's way to the processing instance: the same one-JSON-object-per-line
// commands as the TCP control port, one reply line per request.
class ControlChannel {
  public:
    virtual ~ControlChannel() = default;
    // Sends one request line (without the newline) and returns the reply line, or nothing
    // when the instance cannot be reached. Safe to call from several threads.
    virtual std::optional<std::string> request(const std::string& jsonLine) = 0;
    // Whether the last exchange reached the instance.
    virtual bool connected() const = 0;
    // Makes every current and later request fail fast; used when the web server stops so
    // no thread is held in a request.
    virtual void shutdown() {}
};

// Calls the engine's handler in the same process.
class FunctionControlChannel : public ControlChannel {
  public:
    using Handler = std::function<std::string(const std::string&)>;
    explicit FunctionControlChannel(Handler handler) : handler_(std::move(handler)) {}

    std::optional<std::string> request(const std::string& jsonLine) override;
    bool connected() const override { return !closed_.load(); }
    void shutdown() override { closed_ = true; }

  private:
    Handler handler_;
    std::mutex mutex_;  // the handler keeps per-client state ("change"), so one caller at a time
    std::atomic<bool> closed_{false};
};

struct TcpChannelTimeouts {
    std::chrono::milliseconds connect{300};
    std::chrono::milliseconds reply{2000};
    // After a failed connect, requests fail at once until this much time has passed, so
    // a missing instance costs one connect attempt per interval, not one per request.
    std::chrono::milliseconds retry{250};
};

// PROC_SECRET from the environment, or empty.
std::string controlSecretFromEnvironment();

// Keeps one TCP connection to address:port, opened on first use and opened again after
// the instance went away or closed it (the port closes clients silent for a minute); a
// request never sent on a connection the port had closed goes out on a new one. Requests
// are serialised over it. With a secret, every new connection first authenticates with
// {"auth":"<secret>"}. The port's refusals ("too many clients", "auth required", "auth
// failed") count as no reply, never as one.
class TcpControlChannel : public ControlChannel {
  public:
    TcpControlChannel(std::string host, uint32_t port, WebLog log, TcpChannelTimeouts timeouts = {},
                      std::string secret = {});
    ~TcpControlChannel() override;
    TcpControlChannel(const TcpControlChannel&) = delete;
    TcpControlChannel& operator=(const TcpControlChannel&) = delete;

    std::optional<std::string> request(const std::string& jsonLine) override;
    bool connected() const override { return connected_.load(); }
    void shutdown() override;

  private:
    bool connectLocked();
    void closeLocked();
    // One attempt on the current connection: write the line, read one reply line.
    // Sets replyStarted when any reply byte arrived (the request reached the instance).
    std::optional<std::string> exchangeLocked(const std::string& line, bool& replyStarted);
    // Sends the secret on a new connection; false (after a log line) when refused.
    bool authenticateLocked();
    // Whether the port closed the kept connection (or sent something unasked) while idle.
    bool staleLocked();
    void reportRefusal(const std::string& reason);

    const std::string host_;
    const uint32_t port_;
    const WebLog log_;
    const TcpChannelTimeouts timeouts_;
    const std::string secret_;
    std::mutex mutex_;
    int fd_ = -1;
    std::string pending_;  // bytes read past the last reply line
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::atomic<bool> connected_{false};
    std::atomic<bool> closed_{false};
    std::mutex fdMutex_;  // guards fd_ against a shutdown() from another thread while it closes
    bool reportedDown_ = false;
    std::string lastRefusal_;  // logged once until the next success
};

}  // namespace zephrane::web
