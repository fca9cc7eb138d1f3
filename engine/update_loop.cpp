#include "update_loop.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <exception>

#include "engine_log.h"

namespace zephrane::engine {

namespace {

constexpr int kTickMs = 200;                       // state saves are checked this often
constexpr size_t kPauseReadingAt = 256 * 1024;     // a client that does not read its replies
constexpr size_t kDropClientAt = 4 * 1024 * 1024;  // ... and one that never will

std::string peerName(const sockaddr_storage& address) {
    char host[INET6_ADDRSTRLEN] = "?";
    uint16_t port = 0;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        ::inet_ntop(AF_INET6, &v6.sin6_addr, host, sizeof host);
        port = ntohs(v6.sin6_port);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        ::inet_ntop(AF_INET, &v4.sin_addr, host, sizeof host);
        port = ntohs(v4.sin_port);
    }
    return std::string(host) + " port " + std::to_string(port);
}

}  // namespace

UpdateLoop::UpdateLoop(std::shared_ptr<ProcessCore> core) : core_(std::move(core)) {}

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
        problem = port_listeners::claim(port, &waker_, listenFd);
        if (!problem.empty()) {
            // Logged before the failure is visible, so a host that reacts finds the reason.
            logLine(kError, "JSON port " + std::to_string(port) + " cannot be opened: " + problem);
        } else {
            registerProcessPort(port, core_);
            logLine(kInfo, "JSON port " + std::to_string(port) + " listening");
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
        port_listeners::release(port, &waker_, std::move(clients_));
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
        for (auto& client : clients_) {
            if (client->fd >= 0 && client->closing &&
                std::chrono::steady_clock::now() - client->closingSince > std::chrono::seconds(2)) {
                closeConnection(*client);
            }
        }
        std::erase_if(clients_, [](const std::unique_ptr<Connection>& c) { return c->fd < 0; });
        core_->session().saveIfDue(std::chrono::steady_clock::now());
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
        std::string peer = peerName(address);
        if (clients_.size() >= kMaxClients) {
            static const char kBusy[] = "{\"error\":\"too many clients\"}\n";
            [[maybe_unused]] ssize_t sent = ::send(fd, kBusy, sizeof kBusy - 1, MSG_NOSIGNAL);
            ::close(fd);
            logLine(kWarn, "JSON client " + peer + " refused: too many clients");
            continue;
        }
        int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        logLine(kVerb, "JSON client connected from " + peer);
        clients_.push_back(std::make_unique<Connection>(fd, std::move(peer), core_));
    }
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
    auto result =
        client.framer.feed(std::string_view(buffer, static_cast<size_t>(got)), [&](std::string_view line) {
            client.output += handleControlRequest(client.view, line);
            client.output += '\n';
        });
    if (result == LineFramer::Result::TooLong) {
        logLine(kWarn, "JSON client " + client.peer + " sent a line over 64 KiB; closing");
        client.output += controlErrorReply("request line longer than 65536 bytes; closing the connection");
        client.output += '\n';
        client.closing = true;
        client.closingSince = std::chrono::steady_clock::now();
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
        if (clients_.size() >= kMaxClients) {
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
