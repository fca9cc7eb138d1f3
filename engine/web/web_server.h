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
    std::chrono::milliseconds keepAliveIdle{5000};
    std::chrono::milliseconds requestTimeout{10000};  // to receive one whole request
    std::chrono::milliseconds meterInterval{100};
    int maxConnections = 64;
};

// Fills the certificate paths (SSL_CERTIFICATE_PATH, SSL_PRIVATE_PATH) and the login from
// the environment, and the storage directory for a self-signed certificate.
void configureFromEnvironment(WebServerConfig& config, const std::string& storageDirectory,
                              bool storageReadOnly = false);

// The HTTP and HTTPS servers of one web interface. Listening (or the failure to) is
// settled when start returns; serving happens on threads of the server's own.
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
