#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "thread_group.h"

namespace zephrane::net {

// A small plain-HTTP/1.1 server for read-only pages (metrics, health): one I/O thread of
// its own, a request head of at most 8 KiB and no body, an absolute deadline per request,
// and caps per client address and in total. Every request, whatever its method, goes to
// the handler, which answers 405 for what it does not serve.
class HttpEndpoint {
  public:
    struct Answer {
        unsigned status = 200;
        std::string contentType;
        std::string body;
    };
    // Called on the I/O thread.
    using Handler = std::function<Answer(std::string_view method, std::string_view target)>;
    // A connection turned away by a cap, with the client's address; called on the I/O
    // thread at most once per address per minute.
    using RefusalWarning = std::function<void(const std::string& address, const std::string& reason)>;

    struct Limits {
        // From the accept, or from the end of the previous answer, to the end of the next.
        std::chrono::milliseconds requestDeadline{10'000};
        // Between the end of an answer and the first byte of the next request.
        std::chrono::milliseconds keepAliveIdle{5'000};
        size_t perAddress = 16;
        size_t total = 64;
    };

    HttpEndpoint(Handler handler, RefusalWarning warning, Limits limits);
    HttpEndpoint() = delete;
    HttpEndpoint(const HttpEndpoint&) = delete;
    HttpEndpoint& operator=(const HttpEndpoint&) = delete;
    ~HttpEndpoint();

    // Listens on the port (0: a free one) and address (empty: all) and starts the I/O
    // thread. An empty text, or why it could not.
    std::string start(uint16_t port, const std::string& bindAddress);
    // The port listened on; 0 when not started.
    uint16_t port() const;
    // Closes the socket and every connection and waits for the thread; false when it has
    // not ended by the time-out (it is then left to end on its own).
    bool stop(std::chrono::milliseconds timeout = std::chrono::milliseconds(5'000));

    struct State;

  private:
    std::shared_ptr<State> state_;
    ThreadGroup threads_;
    uint16_t port_ = 0;
};

}  // namespace zephrane::net
