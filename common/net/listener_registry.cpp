#include "net/listener_registry.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

#include "net/listen_socket.h"

namespace zephrane::net {

namespace {

struct Entry {
    int fd = -1;
    std::string kind;
    int users = 0;
};

std::mutex& registryMutex() {
    static auto* mutex = new std::mutex;  // outlives servers stopped by exit handlers
    return *mutex;
}

std::map<uint16_t, Entry>& registry() {
    static auto* entries = new std::map<uint16_t, Entry>;
    return *entries;
}

int duplicate(int fd, std::string& failure) {
    int copy = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0) {
        failure = std::strerror(errno);
    }
    return copy;
}

}  // namespace

int ListenerRegistry::acquire(uint16_t port, std::string_view kind, const std::string& bindAddress,
                              std::string& failure) {
    if (port == 0) {
        failure = "not a TCP port";
        return -1;
    }
    std::lock_guard lock(registryMutex());
    auto found = registry().find(port);
    if (found != registry().end()) {
        if (found->second.kind != kind) {
            failure = "already serving " + found->second.kind + " in this process";
            return -1;
        }
        int copy = duplicate(found->second.fd, failure);
        if (copy >= 0) {
            ++found->second.users;
        }
        return copy;
    }
    int fd = openListeningSocket(port, bindAddress, failure);
    if (fd < 0) {
        return -1;
    }
    int copy = duplicate(fd, failure);
    if (copy < 0) {
        ::close(fd);
        return -1;
    }
    registry()[port] = Entry{fd, std::string(kind), 1};
    return copy;
}

void ListenerRegistry::release(uint16_t port) {
    std::lock_guard lock(registryMutex());
    auto found = registry().find(port);
    if (found != registry().end() && --found->second.users <= 0) {
        ::close(found->second.fd);
        registry().erase(found);
    }
}

int ListenerRegistry::users(uint16_t port) {
    std::lock_guard lock(registryMutex());
    auto found = registry().find(port);
    return found == registry().end() ? 0 : found->second.users;
}

}  // namespace zephrane::net
