#pragma once

#include <cstdint>
#include <string>

namespace zephrane::net {

// A listening TCP socket (non-blocking, close-on-exec) on the port. An empty bind address
// listens on every interface, IPv6 with IPv4-mapped addresses so one socket serves both,
// or plain IPv4 where the machine has no IPv6. Otherwise the address is an IPv4 or IPv6
// literal. The descriptor, or -1 with the system's reason in failure.
int openListeningSocket(uint16_t port, const std::string& bindAddress, std::string& failure);

}  // namespace zephrane::net
