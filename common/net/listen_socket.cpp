#include "net/listen_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace zephrane::net {

namespace {

constexpr int kBacklog = 511;

int bindAndListen(const sockaddr* address, socklen_t length, bool dualStack, int& error) {
    int fd = ::socket(address->sa_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        error = errno;
        return -1;
    }
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (address->sa_family == AF_INET6) {
        int v6Only = dualStack ? 0 : 1;
        ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &v6Only, sizeof v6Only);
    }
    if (::bind(fd, address, length) != 0 || ::listen(fd, kBacklog) != 0) {
        error = errno;
        ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int openListeningSocket(uint16_t port, const std::string& bindAddress, std::string& failure) {
    int error = 0;
    int fd = -1;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    if (bindAddress.empty()) {
        v6.sin6_addr = in6addr_any;
        fd = bindAndListen(reinterpret_cast<sockaddr*>(&v6), sizeof v6, true, error);
        if (fd < 0 && error != EADDRINUSE && error != EACCES) {
            v4.sin_addr.s_addr = htonl(INADDR_ANY);  // no IPv6 on this machine
            fd = bindAndListen(reinterpret_cast<sockaddr*>(&v4), sizeof v4, false, error);
        }
    } else if (::inet_pton(AF_INET, bindAddress.c_str(), &v4.sin_addr) == 1) {
        fd = bindAndListen(reinterpret_cast<sockaddr*>(&v4), sizeof v4, false, error);
    } else if (::inet_pton(AF_INET6, bindAddress.c_str(), &v6.sin6_addr) == 1) {
        // "::" still serves IPv4 too; a specific IPv6 address serves only itself.
        fd = bindAndListen(reinterpret_cast<sockaddr*>(&v6), sizeof v6,
                           IN6_IS_ADDR_UNSPECIFIED(&v6.sin6_addr), error);
    } else {
        failure = "not an IP address: " + bindAddress;
        return -1;
    }
    if (fd < 0) {
        failure = std::strerror(error);
    }
    return fd;
}

}  // namespace zephrane::net
