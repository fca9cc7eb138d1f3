#include "control_channel.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>

namespace zephrane::web {

namespace {

constexpr size_t kMaxReplyBytes = 4 * 1024 * 1024;
// Waits are cut into slices so shutdown() is noticed quickly.
constexpr int kSliceMs = 50;

// The port's refusals, each followed by a close: not replies to the request.
std::optional<std::string> refusalIn(const std::string& reply) {
    nlohmann::json parsed = nlohmann::json::parse(reply, nullptr, false);
    if (!parsed.is_object() || parsed.size() != 1 || !parsed.contains("error") ||
        !parsed["error"].is_string()) {
        return std::nullopt;
    }
    const std::string& reason = parsed["error"].get_ref<const std::string&>();
    if (reason == "too many clients" || reason == "auth required" || reason == "auth failed") {
        return reason;
    }
    return std::nullopt;
}

int remainingMs(std::chrono::steady_clock::time_point deadline) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    return static_cast<int>(std::max<int64_t>(0, left.count()));
}

}  // namespace

std::optional<std::string> FunctionControlChannel::request(const std::string& jsonLine) {
    if (closed_ || !handler_) {
        return std::nullopt;
    }
    std::lock_guard lock(mutex_);
    try {
        return handler_(jsonLine);
    } catch (...) {
        return std::nullopt;
    }
}

std::string controlSecretFromEnvironment() {
    const char* secret = std::getenv("PROC_SECRET");
    return secret != nullptr ? secret : "";
}

TcpControlChannel::TcpControlChannel(std::string host, uint32_t port, WebLog log, TcpChannelTimeouts timeouts,
                                     std::string secret)
    : host_(std::move(host)),
      port_(port),
      log_(std::move(log)),
      timeouts_(timeouts),
      secret_(std::move(secret)) {}

TcpControlChannel::~TcpControlChannel() {
    std::lock_guard lock(mutex_);
    closeLocked();
}

void TcpControlChannel::shutdown() {
    closed_ = true;
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        ::shutdown(fd_, SHUT_RDWR);  // wakes a request waiting for its reply
    }
}

void TcpControlChannel::closeLocked() {
    std::lock_guard lock(fdMutex_);
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
    pending_.clear();
}

bool TcpControlChannel::connectLocked() {
    if (port_ == 0 || port_ > 65535) {
        return false;
    }
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    std::string service = std::to_string(port_);
    int rc = getaddrinfo(host_.empty() ? nullptr : host_.c_str(), service.c_str(), &hints, &found);
    if (rc != 0) {
        if (!reportedDown_) {
            webLog(
                log_, kWebWarn,
                "Web server: cannot resolve processing instance address " + host_ + ": " + gai_strerror(rc));
        }
        return false;
    }
    std::string lastError = "no address";
    for (addrinfo* ai = found; ai != nullptr && !closed_; ai = ai->ai_next) {
        int fd = ::socket(ai->ai_family, ai->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai->ai_protocol);
        if (fd < 0) {
            lastError = std::strerror(errno);
            continue;
        }
        bool ok = ::connect(fd, ai->ai_addr, ai->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS) {
            auto deadline = std::chrono::steady_clock::now() + timeouts_.connect;
            while (!closed_) {
                pollfd p{fd, POLLOUT, 0};
                int left = remainingMs(deadline);
                int n = ::poll(&p, 1, std::min(left, kSliceMs));
                if (n > 0) {
                    int err = 0;
                    socklen_t len = sizeof err;
                    getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len);
                    ok = err == 0;
                    lastError = ok ? "" : std::strerror(err);
                    break;
                }
                if ((n < 0 && errno != EINTR) || left == 0) {
                    lastError = "connect timed out";
                    break;
                }
            }
        } else if (!ok) {
            lastError = std::strerror(errno);
        }
        if (ok) {
            int one = 1;
            setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            {
                std::lock_guard lock(fdMutex_);
                fd_ = fd;
            }
            freeaddrinfo(found);
            if (closed_) {
                closeLocked();
                return false;
            }
            return true;
        }
        ::close(fd);
    }
    freeaddrinfo(found);
    if (!reportedDown_) {
        webLog(log_, kWebWarn,
               "Web server: processing instance " + host_ + ":" + service + " unreachable: " + lastError);
    }
    return false;
}

std::optional<std::string> TcpControlChannel::exchangeLocked(const std::string& line, bool& replyStarted) {
    std::string out = line;
    out.push_back('\n');
    auto deadline = std::chrono::steady_clock::now() + timeouts_.reply;
    size_t sent = 0;
    while (sent < out.size()) {
        if (closed_) {
            return std::nullopt;
        }
        ssize_t n = ::send(fd_, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd_, POLLOUT, 0};
            if (remainingMs(deadline) == 0) {
                return std::nullopt;
            }
            ::poll(&p, 1, std::min(remainingMs(deadline), kSliceMs));
            continue;
        }
        return std::nullopt;
    }
    char buffer[4096];
    while (true) {
        size_t newline = pending_.find('\n');
        if (newline != std::string::npos) {
            std::string reply = pending_.substr(0, newline);
            pending_.erase(0, newline + 1);
            if (!reply.empty() && reply.back() == '\r') {
                reply.pop_back();
            }
            return reply;
        }
        if (pending_.size() > kMaxReplyBytes || closed_) {
            return std::nullopt;
        }
        int left = remainingMs(deadline);
        if (left == 0) {
            webLog(log_, kWebWarn, "Web server: no reply from the processing instance in time");
            return std::nullopt;
        }
        pollfd p{fd_, POLLIN, 0};
        int ready = ::poll(&p, 1, std::min(left, kSliceMs));
        if (ready <= 0) {
            continue;
        }
        ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n > 0) {
            replyStarted = true;
            pending_.append(buffer, static_cast<size_t>(n));
        } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        } else {
            return std::nullopt;  // closed by the peer or reset
        }
    }
}

bool TcpControlChannel::staleLocked() {
    pollfd p{fd_, POLLIN | POLLRDHUP, 0};
    return ::poll(&p, 1, 0) != 0;
}

void TcpControlChannel::reportRefusal(const std::string& reason) {
    if (reason != lastRefusal_) {
        webLog(log_, kWebWarn,
               "Web server: processing instance " + host_ + ":" + std::to_string(port_) +
                   " refused us: " + reason);
        lastRefusal_ = reason;
    }
}

bool TcpControlChannel::authenticateLocked() {
    bool replyStarted = false;
    std::optional<std::string> reply = exchangeLocked(nlohmann::json{{"auth", secret_}}.dump(), replyStarted);
    if (!reply) {
        return false;
    }
    nlohmann::json parsed = nlohmann::json::parse(*reply, nullptr, false);
    if (parsed.is_object() && parsed.size() == 1 && parsed.contains("auth") && parsed["auth"] == "ok") {
        return true;
    }
    std::optional<std::string> refusal = refusalIn(*reply);
    reportRefusal(refusal ? *refusal : "unexpected answer to the secret");
    return false;
}

std::optional<std::string> TcpControlChannel::request(const std::string& jsonLine) {
    if (jsonLine.find('\n') != std::string::npos) {
        return std::nullopt;  // would be two requests on the wire and desynchronise replies
    }
    std::lock_guard lock(mutex_);
    for (int attempt = 0; attempt < 2 && !closed_; ++attempt) {
        bool fresh = false;
        if (fd_ >= 0 && staleLocked()) {
            closeLocked();  // closed by the port while idle: nothing was lost on it
        }
        if (fd_ < 0) {
            auto now = std::chrono::steady_clock::now();
            if (now < nextAttempt_) {
                return std::nullopt;
            }
            if (!connectLocked()) {
                nextAttempt_ = now + timeouts_.retry;
                connected_ = false;
                reportedDown_ = true;
                return std::nullopt;
            }
            fresh = true;
            if (!secret_.empty() && !authenticateLocked()) {
                closeLocked();
                // A refused secret stays refused: try again later, not on every request.
                nextAttempt_ = now + std::max(timeouts_.retry, std::chrono::milliseconds(1000));
                connected_ = false;
                reportedDown_ = true;
                return std::nullopt;
            }
        }
        bool replyStarted = false;
        auto started = std::chrono::steady_clock::now();
        std::optional<std::string> reply = exchangeLocked(jsonLine, replyStarted);
        if (std::optional<std::string> refusal = reply ? refusalIn(*reply) : std::nullopt) {
            reportRefusal(*refusal);
            closeLocked();
            nextAttempt_ = std::chrono::steady_clock::now() + timeouts_.retry;
            connected_ = false;
            reportedDown_ = true;
            return std::nullopt;
        }
        if (reply) {
            lastRefusal_.clear();
            if (reportedDown_ || !connected_) {
                webLog(log_, kWebInfo,
                       "Web server: connected to processing instance " + host_ + ":" + std::to_string(port_));
            }
            reportedDown_ = false;
            connected_ = true;
            return reply;
        }
        closeLocked();
        // A connection kept from before may have been closed by an instance that has
        // since restarted: the request never reached it, so one more try on a new
        // connection is safe. Anything else (a slow instance, a half reply) is not retried.
        bool quickClose = std::chrono::steady_clock::now() - started < timeouts_.reply / 2;
        if (fresh || replyStarted || !quickClose) {
            break;
        }
    }
    if (!reportedDown_ && !closed_) {
        webLog(
            log_, kWebWarn,
            "Web server: lost the connection to processing instance " + host_ + ":" + std::to_string(port_));
    }
    connected_ = false;
    reportedDown_ = true;
    return std::nullopt;
}

}  // namespace zephrane::web
