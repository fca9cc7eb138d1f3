#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "auth.h"
#include "control_channel.h"
#include "tls.h"
#include "web_log.h"

namespace zephrane::web {

inline constexpr int kStatusHttp = 1;
inline constexpr int kStatusHttps = 2;

struct WebServerConfig {
    uint32_t httpPort = 0;  // 0: not wanted
    uint32_t httpsPort = 0;
    std::shared_ptr<ControlChannel> channel;
    TlsSettings tls;
    LoginSettings login;
    WebLog log;
    // TLS handshake and request head together, from the connection (or, on a kept
    // connection, from the first byte of the next request); never extended by a trickle.
    std::chrono::milliseconds headerDeadline{10000};
    std::chrono::milliseconds bodyDeadline{10000};   // then the body
    std::chrono::milliseconds writeDeadline{10000};  // each answer, and each event sent
    std::chrono::milliseconds keepAliveIdle{5000};   // between requests
    std::chrono::milliseconds meterInterval{100};
    // Open connections per client address (WEB_MAX_PER_ADDRESS raises it, for a reverse
    // proxy in front) and in all; event streams have caps of their own.
    size_t maxPerAddress = 16;
    size_t maxConnections = 256;
    size_t maxStreamsPerAddress = 4;
    size_t maxStreams = 32;
    int ioThreads = 4;  // requests to the instance may block a thread briefly
};

// Fills the certificate paths (SSL_CERTIFICATE_PATH, SSL_PRIVATE_PATH), the login and the
// cap per client address (WEB_MAX_PER_ADDRESS) from the environment, and the storage
// directory for a self-signed certificate.
void configureFromEnvironment(WebServerConfig& config, const std::string& storageDirectory,
                              bool storageReadOnly = false);

// The HTTP and HTTPS servers of one web interface. Listening (or the failure to) is
// settled when start returns; serving happens on a few I/O threads of the server's own,
// event-driven: a slow or idle client holds a socket and a timer, never a thread.
class WebServer {
  public:
    static std::shared_ptr<WebServer> start(WebServerConfig config);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    int status() const;  // kStatusHttp | kStatusHttps while listening
    // Stops listening, closes every connection (kept-alive and event streams too) and
    // waits for the server's threads. True when all ended within the time-out.
    bool stop(std::chrono::milliseconds timeout);

    struct State;

  private:
    explicit WebServer(std::shared_ptr<State> state) : state_(std::move(state)) {}
    std::shared_ptr<State> state_;
};

}  // namespace zephrane::web
