#pragma once

#include <cstdint>
#include <string>

namespace zephrane::web {

// Listening sockets shared by port within the process. A web server that replaces another
// on the same port (a new processing instance at a cycle-length change) takes over the
// socket that is already listening instead of binding a second one, so the port never
// goes away and no connection waiting in the backlog is lost.
class Listeners {
  public:
    // A listening socket on the port, new or shared; -1 with the reason in failure. A port
    // serves either plain HTTP or TLS; asking for the other kind fails.
    static int acquire(uint32_t port, bool tls, std::string& failure);
    // Closes the socket when its last user has released it.
    static void release(uint32_t port);
    // Number of users of the port's socket (0: not listening); for tests.
    static int users(uint32_t port);
};

}  // namespace zephrane::web
