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

// Keeps one TCP connection to address:port, opened on first use and opened again after
// the instance went away. Requests are serialised over it.
class TcpControlChannel : public ControlChannel {
  public:
    TcpControlChannel(std::string host, uint32_t port, WebLog log, TcpChannelTimeouts timeouts = {});
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

    const std::string host_;
    const uint32_t port_;
    const WebLog log_;
    const TcpChannelTimeouts timeouts_;
    std::mutex mutex_;
    int fd_ = -1;
    std::string pending_;  // bytes read past the last reply line
    std::chrono::steady_clock::time_point nextAttempt_{};
    std::atomic<bool> connected_{false};
    std::atomic<bool> closed_{false};
    std::mutex fdMutex_;  // guards fd_ against a shutdown() from another thread while it closes
    bool reportedDown_ = false;
};

}  // namespace zephrane::web
