#include "http_endpoint.h"

#include <unistd.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/empty_body.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/beast/http/write.hpp>
#include <list>
#include <optional>

#include "client_caps.h"
#include "listen_socket.h"
#include "peer_name.h"
#include "thread_group.h"
#include "warn_throttle.h"

namespace zephrane::net {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t kHeadLimit = 8 * 1024;
}

class Connection;

struct HttpEndpoint::State {
    State(Handler handlerIn, RefusalWarning warningIn, Limits limitsIn)
        : handler(std::move(handlerIn)),
          warning(std::move(warningIn)),
          limits(limitsIn),
          caps(limitsIn.perAddress, limitsIn.total) {}

    // Before the context: connections still queued in it leave this list as the context
    // goes.
    std::list<std::weak_ptr<Connection>> connections;  // open ones, for the stop; I/O thread only
    asio::io_context io{1};
    tcp::acceptor acceptor{io};
    Handler handler;
    RefusalWarning warning;
    Limits limits;
    ClientCaps caps;
    WarnThrottle throttle;
    bool stopping = false;  // I/O thread only
};

// One client connection: requests one after another, each within its deadline.
class Connection : public std::enable_shared_from_this<Connection> {
  public:
    Connection(HttpEndpoint::State& state, tcp::socket socket, ClientCaps::Slot slot)
        : state_(state), stream_(std::move(socket)), slot_(std::move(slot)) {}

    void begin(std::list<std::weak_ptr<Connection>>::iterator self) {
        self_ = self;
        readRequest(Clock::now());
    }
    void close() {
        beast::error_code ignored;
        stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
        stream_.socket().close(ignored);
    }
    ~Connection() { state_.connections.erase(self_); }

  private:
    void readRequest(Clock::time_point from) {
        stream_.expires_at(from + state_.limits.requestDeadline);
        parser_.emplace();
        parser_->header_limit(kHeadLimit);
        parser_->body_limit(0);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = shared_from_this()](beast::error_code error, size_t) { self->answer(error); });
    }

    // Keep-alive: the next request must start within the idle time.
    void awaitNextRequest() {
        auto answered = Clock::now();
        if (buffer_.size() > 0) {
            readRequest(answered);  // pipelined
            return;
        }
        stream_.expires_after(state_.limits.keepAliveIdle);
        stream_.async_read_some(buffer_.prepare(512),
                                [self = shared_from_this(), answered](beast::error_code error, size_t n) {
                                    if (error) {
                                        self->close();
                                        return;
                                    }
                                    self->buffer_.commit(n);
                                    self->readRequest(answered);
                                });
    }

    void answer(beast::error_code error) {
        if (error) {
            close();  // timed out, malformed, over the head limit, a body, or gone
            return;
        }
        const auto& request = parser_->get();
        HttpEndpoint::Answer reply;
        try {
            reply =
                state_.handler(std::string_view(request.method_string()), std::string_view(request.target()));
        } catch (...) {
            reply = {500, "text/plain; charset=utf-8", "internal error\n"};
        }
        bool head = request.method() == http::verb::head;
        response_.emplace(static_cast<http::status>(reply.status), request.version());
        response_->set(http::field::content_type, reply.contentType);
        response_->set(http::field::cache_control, "no-store");
        response_->keep_alive(request.keep_alive());
        response_->content_length(reply.body.size());
        if (!head) {
            response_->body() = std::move(reply.body);
        }
        // The request's deadline covers its answer too.
        http::async_write(stream_, *response_, [self = shared_from_this()](beast::error_code error, size_t) {
            if (error || !self->response_->keep_alive() || self->state_.stopping) {
                self->close();
                return;
            }
            self->awaitNextRequest();
        });
    }

    HttpEndpoint::State& state_;
    beast::tcp_stream stream_;
    ClientCaps::Slot slot_;
    beast::flat_buffer buffer_{kHeadLimit};
    std::optional<http::request_parser<http::empty_body>> parser_;
    std::optional<http::response<http::string_body>> response_;
    std::list<std::weak_ptr<Connection>>::iterator self_;
};

namespace {

void acceptNext(const std::shared_ptr<HttpEndpoint::State>& state) {
    state->acceptor.async_accept([state](beast::error_code error, tcp::socket socket) {
        if (state->stopping) {
            return;
        }
        if (!error) {
            beast::error_code peerError;
            auto peer = socket.remote_endpoint(peerError);
            if (!peerError) {
                std::string address = peerAddress(peer.address());
                ClientCaps::Refusal refusal = ClientCaps::Refusal::None;
                auto slot = state->caps.admit(address, &refusal);
                if (slot) {
                    auto connection =
                        std::make_shared<Connection>(*state, std::move(socket), std::move(slot));
                    state->connections.push_front(connection);
                    connection->begin(state->connections.begin());
                } else {
                    if (state->warning && state->throttle.due(address)) {
                        state->warning(address, refusal == ClientCaps::Refusal::PerAddress
                                                    ? "too many connections from this address"
                                                    : "too many connections in total");
                    }
                    socket.close(peerError);
                }
            }
        }
        acceptNext(state);
    });
}

}  // namespace

HttpEndpoint::HttpEndpoint(Handler handler, RefusalWarning warning, Limits limits)
    : state_(std::make_shared<State>(std::move(handler), std::move(warning), limits)) {}

HttpEndpoint::~HttpEndpoint() {
    stop();
}

std::string HttpEndpoint::start(uint16_t port, const std::string& bindAddress) {
    if (port_ != 0) {
        return "already listening";
    }
    std::string failure;
    int descriptor = openListeningSocket(port, bindAddress, failure);
    if (descriptor < 0) {
        return failure;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length);
    auto protocol = local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4();
    beast::error_code error;
    state_->acceptor.assign(protocol, descriptor, error);
    if (error) {
        ::close(descriptor);
        return error.message();
    }
    uint16_t bound = state_->acceptor.local_endpoint(error).port();
    if (error) {
        return error.message();
    }
    acceptNext(state_);
    ThreadGroup threads;
    if (!threads.spawn([state = state_] { state->io.run(); })) {
        state_->acceptor.close(error);
        return "no thread for the endpoint";
    }
    threads_ = std::move(threads);
    port_ = bound;
    return {};
}

uint16_t HttpEndpoint::port() const {
    return port_;
}

bool HttpEndpoint::stop(std::chrono::milliseconds timeout) {
    if (port_ == 0) {
        return true;
    }
    port_ = 0;
    // Closing the acceptor and the sockets ends every pending operation; the thread's run
    // returns when none is left.
    asio::post(state_->io, [state = state_] {
        state->stopping = true;
        beast::error_code ignored;
        state->acceptor.close(ignored);
        for (auto& weak : state->connections) {
            if (auto connection = weak.lock()) {
                connection->close();
            }
        }
    });
    auto deadline = Clock::now() + timeout;
    if (threads_.waitEnded(deadline)) {
        return true;
    }
    state_->io.stop();
    return threads_.waitEnded(Clock::now() + std::chrono::seconds(1));
}

}  // namespace zephrane::net
