#pragma once

#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <cstdint>
#include <string>

namespace zephrane::net {

// The client's address as text. An IPv4 client that came in on the dual-stack socket
// (an IPv4-mapped IPv6 address) is named by its IPv4 address, so caps and throttles
// see one address whichever socket family it used.
std::string peerAddress(const sockaddr_storage& address);
std::string peerAddress(const boost::asio::ip::address& address);

// "address port N", for log lines about one connection.
std::string peerName(const sockaddr_storage& address);
std::string peerName(const boost::asio::ip::tcp::endpoint& endpoint);

}  // namespace zephrane::net
