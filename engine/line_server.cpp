#include "line_server.h"

#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

namespace zephrane::engine {

LineFramer::Result LineFramer::feed(std::string_view data,
                                    const std::function<void(std::string_view)>& onLine) {
    while (!data.empty()) {
        size_t end = data.find('\n');
        std::string_view piece = data.substr(0, end);
        if (pending_.size() + piece.size() > kMaxRequestBytes) {
            pending_.clear();
            pending_.shrink_to_fit();
            return Result::TooLong;
        }
        if (end == std::string_view::npos) {
            pending_.append(piece);
            break;
        }
        std::string_view line = piece;
        if (!pending_.empty()) {
            pending_.append(piece);
            line = pending_;
        }
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!line.empty()) {
            onLine(line);
        }
        pending_.clear();
        data.remove_prefix(end + 1);
    }
    return Result::Ok;
}

Waker::Waker() : fd_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

Waker::~Waker() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void Waker::wake() {
    uint64_t one = 1;
    [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

void Waker::drain() {
    uint64_t count;
    [[maybe_unused]] ssize_t got = ::read(fd_, &count, sizeof count);
}

void closeConnection(Connection& connection) {
    if (connection.fd >= 0) {
        ::close(connection.fd);
        connection.fd = -1;
    }
}

namespace port_listeners {

namespace {

struct PortEntry {
    int fd = -1;
    std::vector<Waker*> loops;  // in claim order; the last one accepts
    std::vector<std::unique_ptr<Connection>> handedOver;
};

std::mutex mutex;
std::map<uint32_t, PortEntry>& entries() {
    static auto* map = new std::map<uint32_t, PortEntry>;
    return *map;
}

int bindAny(int family, uint16_t port, int& error) {
    int fd = ::socket(family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    int result;
    if (family == AF_INET6) {
        int off = 0;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);  // IPv4 too
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(port);
        result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(port);
        result = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (result != 0 || ::listen(fd, 128) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

std::string claim(uint32_t port, Waker* loop, int& fd) {
    if (port == 0 || port > 65535) {
        return "port out of range 1..65535";
    }
    std::lock_guard lock(mutex);
    auto found = entries().find(port);
    if (found != entries().end()) {
        PortEntry& entry = found->second;
        if (!entry.loops.empty()) {
            entry.loops.back()->wake();  // it stops accepting
        }
        entry.loops.push_back(loop);
        fd = entry.fd;
        return {};
    }
    int error = 0;
    fd = bindAny(AF_INET6, static_cast<uint16_t>(port), error);
    if (fd < 0 && error != EADDRINUSE && error != EACCES) {
        fd = bindAny(AF_INET, static_cast<uint16_t>(port), error);  // no IPv6 on this machine
    }
    if (fd < 0) {
        return std::strerror(error);
    }
    entries()[port].fd = fd;
    entries()[port].loops.push_back(loop);
    return {};
}

bool accepting(uint32_t port, Waker* loop) {
    std::lock_guard lock(mutex);
    auto found = entries().find(port);
    return found != entries().end() && !found->second.loops.empty() && found->second.loops.back() == loop;
}

void release(uint32_t port, Waker* loop, std::vector<std::unique_ptr<Connection>> connections) {
    std::unique_lock lock(mutex);
    auto found = entries().find(port);
    if (found == entries().end()) {
        lock.unlock();
        for (auto& connection : connections) {
            closeConnection(*connection);
        }
        return;
    }
    PortEntry& entry = found->second;
    entry.loops.erase(std::remove(entry.loops.begin(), entry.loops.end(), loop), entry.loops.end());
    if (!entry.loops.empty()) {
        for (auto& connection : connections) {
            entry.handedOver.push_back(std::move(connection));
        }
        entry.loops.back()->wake();
        return;
    }
    ::close(entry.fd);
    for (auto& connection : entry.handedOver) {
        closeConnection(*connection);
    }
    entries().erase(found);
    lock.unlock();
    for (auto& connection : connections) {
        closeConnection(*connection);
    }
}

std::vector<std::unique_ptr<Connection>> takeHandedOver(uint32_t port, Waker* loop) {
    std::lock_guard lock(mutex);
    auto found = entries().find(port);
    if (found == entries().end() || found->second.loops.empty() || found->second.loops.back() != loop) {
        return {};
    }
    return std::exchange(found->second.handedOver, {});
}

}  // namespace port_listeners

}  // namespace zephrane::engine
