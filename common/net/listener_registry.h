#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace zephrane::net {

// Listening sockets shared by port within the process. A server that replaces another on
// the same port (a new processing instance at a cycle-length change) joins the socket
// that is already listening instead of binding a second one, so the port never goes away
// and no connection waiting in the backlog is lost.
//
// Every user gets a duplicate of the registered descriptor to adopt (an acceptor's
// assign) and closes only that duplicate when it stops; the registered one is closed when
// its last user has left.
class ListenerRegistry {
  public:
    // A duplicate of the port's listening socket, opened on the bind address when the
    // port is new; -1 with the reason in failure. A port serves one kind (say "HTTP" or
    // "HTTPS"); asking for another kind fails. The bind address counts only for the first
    // user.
    static int acquire(uint16_t port, std::string_view kind, const std::string& bindAddress,
                       std::string& failure);
    // One user less; the registered socket is closed with the last one.
    static void release(uint16_t port);
    // Number of users of the port's socket (0: not listening).
    static int users(uint16_t port);
};

}  // namespace zephrane::net
