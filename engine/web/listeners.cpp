#include "listeners.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace zephrane::web {

namespace {

struct Entry {
    int fd = -1;
    bool tls = false;
    int users = 0;
};

std::mutex& registryMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}

std::map<uint32_t, Entry>& registry() {
    static auto* entries = new std::map<uint32_t, Entry>;  // outlives server threads at exit
    return *entries;
}

int openListener(uint32_t port, std::string& failure) {
    // IPv6 with IPv4-mapped addresses serves both; plain IPv4 where IPv6 is missing.
    int fd = ::socket(AF_INET6, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    bool v6 = fd >= 0;
    if (!v6) {
        fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    }
    if (fd < 0) {
        failure = std::strerror(errno);
        return -1;
    }
    int one = 1, zero = 0;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    int rc;
    if (v6) {
        setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
        sockaddr_in6 address{};
        address.sin6_family = AF_INET6;
        address.sin6_addr = in6addr_any;
        address.sin6_port = htons(static_cast<uint16_t>(port));
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    } else {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = htons(static_cast<uint16_t>(port));
        rc = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    }
    if (rc != 0 || ::listen(fd, 128) != 0) {
        failure = std::strerror(errno);
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int Listeners::acquire(uint32_t port, bool tls, std::string& failure) {
    if (port == 0 || port > 65535) {
        failure = "not a TCP port";
        return -1;
    }
    std::lock_guard lock(registryMutex());
    auto found = registry().find(port);
    if (found != registry().end()) {
        if (found->second.tls != tls) {
            failure =
                std::string("already serving ") + (found->second.tls ? "HTTPS" : "HTTP") + " in this process";
            return -1;
        }
        ++found->second.users;
        return found->second.fd;
    }
    int fd = openListener(port, failure);
    if (fd >= 0) {
        registry()[port] = Entry{fd, tls, 1};
    }
    return fd;
}

void Listeners::release(uint32_t port) {
    std::lock_guard lock(registryMutex());
    auto found = registry().find(port);
    if (found != registry().end() && --found->second.users <= 0) {
        ::close(found->second.fd);
        registry().erase(found);
    }
}

int Listeners::users(uint32_t port) {
    std::lock_guard lock(registryMutex());
    auto found = registry().find(port);
    return found == registry().end() ? 0 : found->second.users;
}

}  // namespace zephrane::web
