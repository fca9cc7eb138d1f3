#include "net/peer_name.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace zephrane::net {

namespace {

uint16_t portOf(const sockaddr_storage& address) {
    if (address.ss_family == AF_INET6) {
        return ntohs(reinterpret_cast<const sockaddr_in6&>(address).sin6_port);
    }
    if (address.ss_family == AF_INET) {
        return ntohs(reinterpret_cast<const sockaddr_in&>(address).sin_port);
    }
    return 0;
}

}  // namespace

std::string peerAddress(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            ::inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    }
    return text;
}

std::string peerAddress(const boost::asio::ip::address& address) {
    if (address.is_v6() && address.to_v6().is_v4_mapped()) {
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, address.to_v6()).to_string();
    }
    return address.to_string();
}

std::string peerName(const sockaddr_storage& address) {
    return peerAddress(address) + " port " + std::to_string(portOf(address));
}

std::string peerName(const boost::asio::ip::tcp::endpoint& endpoint) {
    return peerAddress(endpoint.address()) + " port " + std::to_string(endpoint.port());
}

}  // namespace zephrane::net
