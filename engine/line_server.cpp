#include "line_server.h"

#include "net/listener_registry.h"

#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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
    std::vector<Waker*> loops;  // in claim order; the last one accepts
    std::vector<std::unique_ptr<Connection>> handedOver;
};

std::mutex mutex;
std::map<uint32_t, PortEntry>& entries() {
    static auto* map = new std::map<uint32_t, PortEntry>;
    return *map;
}

}  // namespace

std::string claim(uint32_t port, const std::string& bindAddress, Waker* loop, int& fd) {
    if (port == 0 || port > 65535) {
        return "port out of range 1..65535";
    }
    std::lock_guard lock(mutex);
    std::string failure;
    fd = net::ListenerRegistry::acquire(static_cast<uint16_t>(port), "JSON", bindAddress, failure);
    if (fd < 0) {
        return failure;
    }
    PortEntry& entry = entries()[port];
    if (!entry.loops.empty()) {
        entry.loops.back()->wake();  // it stops accepting
    }
    entry.loops.push_back(loop);
    return {};
}

bool accepting(uint32_t port, Waker* loop) {
    std::lock_guard lock(mutex);
    auto found = entries().find(port);
    return found != entries().end() && !found->second.loops.empty() && found->second.loops.back() == loop;
}

void release(uint32_t port, int fd, Waker* loop, std::vector<std::unique_ptr<Connection>> connections) {
    std::unique_lock lock(mutex);
    ::close(fd);
    net::ListenerRegistry::release(static_cast<uint16_t>(port));
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
