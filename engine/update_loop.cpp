#include "update_loop.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <nlohmann/json.hpp>

#include "engine_log.h"
#include "log_text.h"
#include "net/peer_name.h"

namespace zephrane::engine {

namespace {

constexpr int kTickMs = 200;                       // state saves are checked this often
constexpr size_t kPauseReadingAt = 256 * 1024;     // a client that does not read its replies
constexpr size_t kDropClientAt = 4 * 1024 * 1024;  // ... and one that never will

}  // namespace

JsonPortSettings jsonPortSettingsFromEnvironment() {
    JsonPortSettings settings;
    if (const char* bind = std::getenv("PROC_BIND"); bind != nullptr) {
        settings.bindAddress = bind;
    }
    if (const char* secret = std::getenv("PROC_SECRET"); secret != nullptr) {
        settings.secret = secret;
    }
    return settings;
}

bool AuthThrottle::blocked(const std::string& address, Clock::time_point now) {
    auto found = entries_.find(address);
    return found != entries_.end() && now < found->second.until;
}

void AuthThrottle::failed(const std::string& address, Clock::time_point now) {
    if (entries_.size() > 1024) {
        std::erase_if(entries_,
                      [&](const auto& entry) { return now - entry.second.until > std::chrono::minutes(10); });
    }
    Entry& entry = entries_[address];
    entry.failures = std::min(entry.failures + 1, 16);
    auto wait = std::min<std::chrono::milliseconds>(std::chrono::milliseconds(250LL << (entry.failures - 1)),
                                                    std::chrono::minutes(1));
    entry.until = now + wait;
}

void AuthThrottle::succeeded(const std::string& address) {
    entries_.erase(address);
}

UpdateLoop::UpdateLoop(std::shared_ptr<ProcessCore> core, JsonPortSettings settings)
    : settings_(std::move(settings)),
      caps_(settings_.maxPerAddress, settings_.maxClients),
      core_(std::move(core)) {}

UpdateLoop::~UpdateLoop() {
    for (auto& connection : clients_) {
        closeConnection(*connection);
    }
}

int UpdateLoop::run(uint32_t port) {
    {
        std::lock_guard lock(mutex_);
        if (state_ != State::Idle || running_) {
            return -1;
        }
        if (stopRequested_) {
            state_ = State::Stopped;
            stateChanged_.notify_all();
            return 0;
        }
        running_ = true;
    }
    int listenFd = -1;
    std::string problem;
    if (port != 0) {
        problem = port_listeners::claim(port, settings_.bindAddress, &waker_, listenFd);
        if (!problem.empty()) {
            // Logged before the failure is visible, so a host that reacts finds the reason.
            logLine(kError, "JSON port " + std::to_string(port) + " cannot be opened: " + problem);
        } else {
            registerProcessPort(port, core_);
            logLine(kInfo,
                    "JSON port " + std::to_string(port) + " listening" +
                        (settings_.bindAddress.empty() ? "" : " on " + logText(settings_.bindAddress)) +
                        (settings_.secret.empty() ? "" : ", auth line required"));
        }
    } else {
        logLine(kVerb, "Update loop running without JSON port");
    }
    {
        std::lock_guard lock(mutex_);
        state_ = problem.empty() ? State::Ready : State::Failed;
        if (!problem.empty()) {
            running_ = false;
        }
        stateChanged_.notify_all();
    }
    if (!problem.empty()) {
        return -1;
    }

    try {
        serve(port, listenFd);
    } catch (const std::exception& error) {
        // Out of memory or similar: end the loop, but still hand over and clean up.
        logLine(kError, std::string("Update loop failed: ") + error.what());
    }

    if (port != 0) {
        unregisterProcessPort(port, core_.get());
        port_listeners::release(port, listenFd, &waker_, std::move(clients_));
        clients_.clear();
    }
    core_->session().flush();
    logLine(kVerb, "Update loop stopped");
    std::lock_guard lock(mutex_);
    state_ = State::Stopped;
    running_ = false;
    stateChanged_.notify_all();
    return 0;
}

void UpdateLoop::serve(uint32_t port, int listenFd) {
    std::vector<pollfd> polled;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            if (stopRequested_) {
                return;
            }
        }
        bool accepting = port != 0 && port_listeners::accepting(port, &waker_);
        if (accepting) {
            adopt(port_listeners::takeHandedOver(port, &waker_));
        }

        polled.clear();
        polled.push_back({waker_.fd(), POLLIN, 0});
        if (accepting) {
            polled.push_back({listenFd, POLLIN, 0});
        }
        const size_t firstClient = polled.size();
        for (auto& client : clients_) {
            short events = 0;
            if (client->closing || client->output.size() < kPauseReadingAt) {
                events |= POLLIN;
            }
            if (!client->output.empty()) {
                events |= POLLOUT;
            }
            polled.push_back({client->fd, events, 0});
        }

        int ready = ::poll(polled.data(), polled.size(), kTickMs);
        if (ready < 0 && errno != EINTR) {
            logLine(kError, std::string("Update loop poll failed: ") + std::strerror(errno));
            return;
        }
        if (ready > 0) {
            if (polled[0].revents & POLLIN) {
                waker_.drain();
            }
            for (size_t i = firstClient; i < polled.size(); ++i) {
                Connection& client = *clients_[i - firstClient];
                short revents = polled[i].revents;
                if (revents & (POLLIN | POLLHUP | POLLERR)) {
                    readFrom(client);
                }
                if (client.fd >= 0 && !client.output.empty()) {
                    writeTo(client);
                }
                if (client.fd >= 0 && client.closing && client.output.empty() && !client.writeShut) {
                    ::shutdown(client.fd, SHUT_WR);
                    client.writeShut = true;
                }
            }
            if (accepting && (polled[1].revents & POLLIN)) {
                acceptClients(listenFd);
            }
        }
        closeSilentClients(std::chrono::steady_clock::now());
        std::erase_if(clients_, [](const std::unique_ptr<Connection>& c) { return c->fd < 0; });
        core_->session().saveIfDue(std::chrono::steady_clock::now());
    }
}

void UpdateLoop::closeSilentClients(std::chrono::steady_clock::time_point now) {
    for (auto& client : clients_) {
        if (client->fd < 0) {
            continue;
        }
        if (client->closing) {
            if (now - client->closingSince > std::chrono::seconds(2)) {
                closeConnection(*client);
            }
        } else if (!client->authenticated && now - client->connectedAt > settings_.authTimeout) {
            logLine(kWarn, "JSON client " + client->peer + " sent no auth line; closing");
            closeConnection(*client);
        } else if (now - client->lastHeard > settings_.idleTimeout) {
            logLine(kVerb, "JSON client " + client->peer + " silent too long; closing");
            closeConnection(*client);
        }
    }
}

void UpdateLoop::acceptClients(int listenFd) {
    for (int i = 0; i < 16; ++i) {
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        int fd =
            ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED) {
                logLine(kWarn, std::string("JSON port accept failed: ") + std::strerror(errno));
            }
            return;
        }
        std::string from = net::peerAddress(address);
        net::ClientCaps::Refusal why{};
        net::ClientCaps::Slot slot = caps_.admit(from, &why);
        if (!slot) {
            static const char kBusy[] = "{\"error\":\"too many clients\"}\n";
            [[maybe_unused]] ssize_t sent = ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
            ::close(fd);
            if (warnings_.due(from)) {
                logLine(kWarn, "JSON client " + from + " refused: too many clients" +
                                   (why == net::ClientCaps::Refusal::PerAddress ? " from this address" : ""));
            }
            continue;
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        auto client = std::make_unique<Connection>(fd, net::peerName(address), std::move(from), core_);
        logLine(kVerb, "JSON client connected from " + client->peer);
        client->slot = std::move(slot);
        client->authenticated = settings_.secret.empty();
        client->connectedAt = client->lastHeard = std::chrono::steady_clock::now();
        clients_.push_back(std::move(client));
    }
}

void UpdateLoop::closeAfterReply(Connection& client, std::string_view reason) {
    client.output += controlErrorReply(reason);
    client.output += '\n';
    client.closing = true;
    client.closingSince = std::chrono::steady_clock::now();
}

// The first line with a secret set: {"auth":"<secret>"} and nothing else.
void UpdateLoop::authenticate(Connection& client, std::string_view line) {
    auto now = std::chrono::steady_clock::now();
    nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
    if (!request.is_object() || request.size() != 1 || !request.contains("auth") ||
        !request["auth"].is_string()) {
        logLine(kWarn, "JSON client " + client.peer + " refused: auth required");
        closeAfterReply(client, "auth required");
        return;
    }
    const std::string& given = request["auth"].get_ref<const std::string&>();
    const std::string& secret = settings_.secret;
    // Constant time over the secret's length, whatever was sent.
    bool match =
        given.size() == secret.size() && CRYPTO_memcmp(given.data(), secret.data(), secret.size()) == 0;
    if (authFailures_.blocked(client.address, now) || !match) {
        authFailures_.failed(client.address, now);
        logLine(kWarn, "JSON client " + client.peer + " refused: auth failed");
        closeAfterReply(client, "auth failed");
        return;
    }
    authFailures_.succeeded(client.address);
    client.authenticated = true;
    client.output += "{\"auth\":\"ok\"}\n";
}

void UpdateLoop::readFrom(Connection& client) {
    char buffer[16384];
    ssize_t got = ::recv(client.fd, buffer, sizeof buffer, 0);
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        return;
    }
    if (got <= 0) {
        logLine(kVerb, "JSON client " + client.peer + " disconnected");
        closeConnection(client);
        return;
    }
    if (client.closing) {
        return;  // draining after a fatal request
    }
    client.lastHeard = std::chrono::steady_clock::now();
    auto result =
        client.framer.feed(std::string_view(buffer, static_cast<size_t>(got)), [&](std::string_view line) {
            if (client.closing) {
                return;  // nothing after a refused auth line
            }
            if (!client.authenticated) {
                authenticate(client, line);
                return;
            }
            client.output += handleControlRequest(client.view, line);
            client.output += '\n';
        });
    if (result == LineFramer::Result::TooLong && !client.closing) {
        logLine(kWarn, "JSON client " + client.peer + " sent a line over 64 KiB; closing");
        closeAfterReply(client, "request line longer than 65536 bytes; closing the connection");
    }
    if (client.output.size() > kDropClientAt) {
        logLine(kWarn, "JSON client " + client.peer + " does not read its replies; closing");
        closeConnection(client);
    }
}

void UpdateLoop::writeTo(Connection& client) {
    while (!client.output.empty()) {
        ssize_t sent = ::send(client.fd, client.output.data(), client.output.size(), MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) {
                return;
            }
            logLine(kVerb, "JSON client " + client.peer + " lost: " + std::strerror(errno));
            closeConnection(client);
            return;
        }
        client.output.erase(0, static_cast<size_t>(sent));
    }
}

void UpdateLoop::adopt(std::vector<std::unique_ptr<Connection>> connections) {
    for (auto& connection : connections) {
        connection->view.core = core_;  // same session: what the client saw stays valid
        connection->slot = caps_.admit(connection->address);
        if (!connection->slot) {
            closeConnection(*connection);
            continue;
        }
        clients_.push_back(std::move(connection));
    }
}

int UpdateLoop::waitReady(int timeoutMs) {
    std::unique_lock lock(mutex_);
    bool settled = stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                          [this] { return state_ != State::Idle; });
    if (!settled) {
        return -1;
    }
    switch (state_) {
        case State::Ready:
            return 0;
        case State::Failed:
            return -2;
        default:
            return -3;
    }
}

void UpdateLoop::stop() {
    {
        std::lock_guard lock(mutex_);
        stopRequested_ = true;
    }
    waker_.wake();
}

bool UpdateLoop::waitFinished(int timeoutMs) {
    std::unique_lock lock(mutex_);
    return stateChanged_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return !running_; });
}

}  // namespace zephrane::engine
