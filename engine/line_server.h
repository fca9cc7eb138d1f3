#pragma once

// The TCP side of the JSON control port: line framing, client connections, the
// listening socket and its hand-over between the processes of one host.
//
// When the host replaces a process, the new one starts its update loop on the same port
// while the old one still runs. Instead of binding a second socket, the new loop takes
// the existing listening socket over (the newest claimant accepts, the older stops), and
// when the old loop ends its open connections move to the new loop too. No connection
// queued on the socket is lost and clients keep their connection across the change.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control_protocol.h"
#include "net/client_caps.h"

namespace zephrane::engine {

// Splits a byte stream into lines: LF or CRLF ends a line; empty lines are skipped.
class LineFramer {
  public:
    enum class Result { Ok, TooLong };

    // Feeds received bytes; calls onLine for each complete line. TooLong once a line
    // grows past kMaxRequestBytes; the framer then keeps nothing.
    Result feed(std::string_view data, const std::function<void(std::string_view)>& onLine);
    size_t pending() const { return pending_.size(); }

  private:
    std::string pending_;
};

struct Connection {
    Connection(int socket, std::string from, std::string fromAddress, std::shared_ptr<ProcessCore> core)
        : fd(socket), peer(std::move(from)), address(std::move(fromAddress)), view(std::move(core)) {
        view.peer = peer;
    }

    int fd;
    std::string peer;     // address and port, for log lines
    std::string address;  // for the caps and throttles per client address
    net::ClientCaps::Slot slot;
    // With a secret set, nothing but the auth line is served until it matched.
    bool authenticated = true;
    std::chrono::steady_clock::time_point connectedAt{};
    std::chrono::steady_clock::time_point lastHeard{};
    LineFramer framer;
    std::string output;
    ClientView view;
    // After a fatal request: the error reply is sent, then the write side is shut and
    // input is drained until the client closes (or a deadline), so the reply is not lost
    // to a reset caused by unread input.
    bool closing = false;
    bool writeShut = false;
    std::chrono::steady_clock::time_point closingSince{};
};

// An eventfd that wakes a poll() loop from another thread.
class Waker {
  public:
    Waker();
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    int fd() const { return fd_; }
    void wake();
    void drain();

  private:
    int fd_;
};

// Listening sockets by port, shared by the update loops of one host.
namespace port_listeners {
// Opens the port on the bind address (empty: all interfaces), or joins the loops already
// listening on it. Empty on success with fd set to this loop's own duplicate of the
// socket, else the system's reason.
std::string claim(uint32_t port, const std::string& bindAddress, Waker* loop, int& fd);
// True when this loop is the newest claimant, the one that accepts.
bool accepting(uint32_t port, Waker* loop);
// Leaves the port (closing this loop's duplicate, fd). Open connections go to the newest
// remaining claimant (woken); with none left the connections and the socket are closed.
void release(uint32_t port, int fd, Waker* loop, std::vector<std::unique_ptr<Connection>> connections);
// Connections handed to this loop by a loop that ended.
std::vector<std::unique_ptr<Connection>> takeHandedOver(uint32_t port, Waker* loop);
}  // namespace port_listeners

void closeConnection(Connection& connection);

}  // namespace zephrane::engine
