#include "web_server.h"

#include <openssl/crypto.h>
#include <openssl/ssl.h>
#include <sys/socket.h>

#include <atomic>
#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http/read.hpp>
#include <boost/beast/http/write.hpp>
#include <boost/beast/ssl/ssl_stream.hpp>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <type_traits>

#include "event_feed.h"
#include "http_wire.h"
#include "net/client_caps.h"
#include "net/listener_registry.h"
#include "net/peer_name.h"
#include "net/thread_group.h"
#include "net/warn_throttle.h"
#include "web_app.h"

namespace zephrane::web {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
using tcp = asio::ip::tcp;
using SteadyClock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// What a connection is doing, for a stop: one kept alive between requests (or streaming
// events) is closed at once, a new one gets a moment for its first request, and one that
// is answering may finish, so a request made just as a new instance takes over the port
// is not cut off.
enum class Phase { Fresh, Busy, Idle, Streaming };

class Session {
  public:
    virtual ~Session() = default;
    // Closes the connection if it is in that phase (Busy: whatever it does). From any
    // thread: the work is done on the connection's own thread.
    virtual void cut(Phase which) = 0;
};

}  // namespace

struct WebServer::State {
    WebServerConfig config;
    // Everything a connection uses comes before the I/O context, so connections that the
    // context still holds when it goes find it all in place.
    std::unique_ptr<WebApp> app;
    std::unique_ptr<EventFeed> feed;
    TlsContext tls;
    std::optional<asio::ssl::context> ssl;
    std::optional<net::ClientCaps> connectionCaps;
    std::optional<net::ClientCaps> streamCaps;
    net::WarnThrottle warnings;
    std::atomic<bool> stopping{false};
    std::atomic<int> status{0};
    std::vector<uint16_t> registeredPorts;

    std::mutex sessionsMutex;
    std::condition_variable sessionsEnded;
    std::map<Session*, std::weak_ptr<Session>> sessions;
    size_t listenersClosed = 0;

    // The TLS library's state for a thread (its error queue) is freed when the thread
    // leaves the server, not at thread exit, which can come after a host that stopped the
    // server has exited.
    net::ThreadGroup threads{[] { OPENSSL_thread_stop(); }};
    // Each connection lives on one of a few I/O contexts, each run by a thread of its own:
    // no strand and no hand-off between threads per request. The listeners have a context
    // of their own, so a request that waits on the instance never holds up an accept.
    asio::io_context accepting{1};
    std::vector<std::unique_ptr<asio::io_context>> contexts;
    // Hold the I/O threads until no connection can come in any more.
    std::vector<asio::executor_work_guard<asio::io_context::executor_type>> keepRunning;
    std::atomic<size_t> nextContext{0};

    asio::io_context& contextForNextConnection() {
        return *contexts[nextContext.fetch_add(1, std::memory_order_relaxed) % contexts.size()];
    }

    void stopContexts() {
        accepting.stop();
        for (auto& context : contexts) {
            context->stop();
        }
    }

    struct Listener {
        Listener(asio::io_context& io, bool tls) : acceptor(io), retry(io), tls(tls) {}
        tcp::acceptor acceptor;
        asio::steady_timer retry;  // after running out of descriptors
        bool tls;
    };
    std::vector<std::unique_ptr<Listener>> listeners;  // go before the context

    void cutSessions(Phase which) {
        // Outside the lock: the last hold on a connection may go here, and its end takes
        // the lock.
        std::vector<std::shared_ptr<Session>> open;
        {
            std::lock_guard lock(sessionsMutex);
            for (auto& [raw, weak] : sessions) {
                if (std::shared_ptr<Session> session = weak.lock()) {
                    open.push_back(std::move(session));
                }
            }
        }
        for (auto& session : open) {
            session->cut(which);
        }
    }

    bool waitSessionsEnded(SteadyClock::time_point until) {
        std::unique_lock lock(sessionsMutex);
        return sessionsEnded.wait_until(lock, until, [this] { return sessions.empty(); });
    }
};

namespace {

using State = WebServer::State;

template <bool Tls>
class HttpSession : public Session, public std::enable_shared_from_this<HttpSession<Tls>> {
    using Stream = std::conditional_t<Tls, beast::ssl_stream<beast::tcp_stream>, beast::tcp_stream>;

  public:
    HttpSession(State& state, tcp::socket socket, net::ClientCaps::Slot slot, std::string peer)
        : state_(state),
          stream_(makeStream(state, std::move(socket))),
          timer_(stream_.get_executor()),
          watchdog_(stream_.get_executor()),
          slot_(std::move(slot)),
          peer_(std::move(peer)),
          accepted_(SteadyClock::now()) {}

    ~HttpSession() override {
        if (subscribed_) {
            state_.feed->unsubscribe();
        }
        std::lock_guard lock(state_.sessionsMutex);
        state_.sessions.erase(this);
        if (state_.sessions.empty()) {
            state_.sessionsEnded.notify_all();
        }
    }

    // Known to a stop from here on, also before it starts on its own thread.
    void enlist() {
        std::lock_guard lock(state_.sessionsMutex);
        state_.sessions.emplace(this, this->weak_from_this());
    }

    void start() {
        // One absolute deadline for the handshake and the first request's head.
        setDeadline(accepted_ + state_.config.headerDeadline);
        if constexpr (Tls) {
            stream_.async_handshake(asio::ssl::stream_base::server,
                                    [self = this->shared_from_this()](beast::error_code error) {
                                        if (error) {
                                            self->end();
                                        } else {
                                            self->awaitRequest();
                                        }
                                    });
        } else {
            awaitRequest();
        }
    }

    auto executor() { return stream_.get_executor(); }

    void cut(Phase which) override {
        // The posted job keeps the connection until it has run.
        asio::post(stream_.get_executor(), [self = this->shared_from_this(), which] { self->cutNow(which); });
    }

  private:
    void cutNow(Phase which) {
        if (which == Phase::Busy) {
            end();
            return;
        }
        bool match = phase_ == which || (which == Phase::Idle && phase_ == Phase::Streaming);
        beast::error_code error;
        // Request bytes waiting make a connection busy, whatever its phase.
        if (match && (phase_ == Phase::Streaming || lowest().socket().available(error) == 0)) {
            end();
        }
    }

    static Stream makeStream(State& state, tcp::socket socket) {
        if constexpr (Tls) {
            return Stream(std::move(socket), *state.ssl);
        } else {
            return Stream(std::move(socket));
        }
    }

    beast::tcp_stream& lowest() { return beast::get_lowest_layer(stream_); }

    std::string_view buffered() const {
        return {static_cast<const char*>(buffer_.data().data()), buffer_.size()};
    }

    // Between requests: blank lines are dropped (counted against the next head's limit);
    // the head is read once a byte of it is there.
    void awaitRequest() {
        size_t blank = blankLinePrefix(buffered());
        buffer_.consume(blank);
        blankBytes_ += blank;
        if (blankBytes_ >= kMaxHeaderBytes) {
            refuse(431);
            return;
        }
        if (buffer_.size() > 1 || (buffer_.size() == 1 && buffered().front() != '\r')) {
            readHead();
            return;
        }
        stream_.async_read_some(buffer_.prepare(4096),
                                [self = this->shared_from_this()](beast::error_code error, size_t got) {
                                    self->onBytes(error, got);
                                });
    }

    void onBytes(beast::error_code error, size_t got) {
        if (error) {
            end();
            return;
        }
        buffer_.commit(got);
        if (phase_ == Phase::Idle) {
            // The kept connection's next request starts: its head has the full deadline.
            setDeadline(SteadyClock::now() + state_.config.headerDeadline);
        }
        phase_ = Phase::Busy;
        awaitRequest();
    }

    void readHead() {
        parser_.emplace();
        limitRequest(*parser_, blankBytes_);
        http::async_read_header(
            stream_, buffer_, *parser_,
            [self = this->shared_from_this()](beast::error_code error, size_t) { self->onHead(error); });
    }

    void onHead(beast::error_code error) {
        phase_ = Phase::Busy;
        if (error) {
            failedRead(error);
            return;
        }
        if (int refusal = checkRequestHead(*parser_)) {
            refuse(refusal);
            return;
        }
        if (parser_->is_done()) {
            answer();
            return;
        }
        setDeadline(SteadyClock::now() + state_.config.bodyDeadline);
        http::async_read(stream_, buffer_, *parser_,
                         [self = this->shared_from_this()](beast::error_code error, size_t) {
                             if (error) {
                                 self->failedRead(error);
                             } else {
                                 self->answer();
                             }
                         });
    }

    // A malformed request gets its status; a closed, timed-out or cut connection nothing.
    void failedRead(beast::error_code error) {
        if (error.category() == beast::http::make_error_code(http::error::end_of_stream).category() &&
            error != http::error::end_of_stream && error != http::error::partial_message) {
            refuse(statusForReadError(error));
        } else {
            end();
        }
    }

    void answer() {
        HttpRequest request = toHttpRequest(parser_->release());
        parser_.reset();
        RequestContext context{peer_, Tls, Clock::now()};
        HttpResponse response;
        try {
            response = state_.app->handle(request, context);
        } catch (const std::exception& e) {
            webLog(state_.config.log, kWebError, std::string("Web server: request failed: ") + e.what());
            response = HttpResponse{};
            response.status = 500;
            response.closeConnection = true;
        }
        keepAlive_ = request.keepAlive && !response.closeConnection && !state_.stopping;
        if (response.eventStream) {
            startStream(std::move(response));
            return;
        }
        send(toWireResponse(std::move(response), keepAlive_, request.method == "HEAD"));
    }

    void refuse(int status) {
        keepAlive_ = false;
        send(toWireResponse(errorResponse(status), false, false));
    }

    void send(WireResponse response) {
        response_.emplace(std::move(response));
        setDeadline(SteadyClock::now() + state_.config.writeDeadline);
        http::async_write(
            stream_, *response_,
            [self = this->shared_from_this()](beast::error_code error, size_t) { self->onSent(error); });
    }

    void onSent(beast::error_code error) {
        response_.reset();
        if (error) {
            end();
        } else if (!keepAlive_ || state_.stopping) {
            finish();
        } else {
            blankBytes_ = 0;
            if (buffer_.size() > 0) {
                setDeadline(SteadyClock::now() + state_.config.headerDeadline);  // pipelined
            } else {
                phase_ = Phase::Idle;
                setDeadline(SteadyClock::now() + state_.config.keepAliveIdle);
            }
            awaitRequest();
        }
    }

    void startStream(HttpResponse response) {
        net::ClientCaps::Refusal why{};
        streamSlot_ = state_.streamCaps->admit(peer_, &why);
        if (!streamSlot_) {
            if (state_.warnings.due(peer_)) {
                webLog(state_.config.log, kWebWarn,
                       "Web server: refused an event stream to " + peer_ +
                           (why == net::ClientCaps::Refusal::PerAddress ? ": too many from this address"
                                                                        : ": too many event streams"));
            }
            keepAlive_ = false;
            HttpResponse busy = errorResponse(503);
            busy.body = R"({"error":"too many event streams"})";
            send(toWireResponse(std::move(busy), false, false));
            return;
        }
        phase_ = Phase::Streaming;
        state_.feed->subscribe();
        subscribed_ = true;
        events_ = serializeHttpResponse(response, false, false) + "retry: 500\n\n";
        writeEvents();
    }

    void writeEvents() {
        lastWrite_ = SteadyClock::now();
        setDeadline(SteadyClock::now() + state_.config.writeDeadline);
        asio::async_write(stream_, asio::buffer(events_),
                          [self = this->shared_from_this()](beast::error_code error, size_t) {
                              if (error) {
                                  self->end();
                              } else {
                                  // A stream waiting for its next event has no deadline.
                                  self->setDeadline(SteadyClock::time_point::max());
                                  self->waitForEvents();
                              }
                          });
    }

    void waitForEvents() {
        auto poll = std::clamp<std::chrono::milliseconds>(state_.config.meterInterval / 2, 5ms, 50ms);
        timer_.expires_after(poll);
        timer_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (error || self->state_.stopping) {
                self->end();
                return;
            }
            self->events_.clear();
            if (!self->state_.feed->next(self->cursor_, self->events_, 0ms)) {
                self->end();
                return;
            }
            // A comment line now and then finds a browser that went away.
            if (self->events_.empty() && SteadyClock::now() - self->lastWrite_ >= 15s) {
                self->events_ = ":\n\n";
            }
            if (self->events_.empty()) {
                self->waitForEvents();
            } else {
                self->writeEvents();
            }
        });
    }

    // After the last answer: close_notify for TLS (so the browser knows the close was
    // meant), briefly, then the socket.
    void finish() {
        if constexpr (Tls) {
            if (!state_.stopping) {
                setDeadline(SteadyClock::now() + 1s);
                stream_.async_shutdown([self = this->shared_from_this()](beast::error_code) { self->end(); });
                return;
            }
        } else {
            beast::error_code ignored;
            lowest().socket().shutdown(tcp::socket::shutdown_send, ignored);
        }
        end();
    }

    // One deadline for what the connection does now (handshake and head, body, answer, or
    // waiting for the next request). Moving it later costs nothing: the watchdog wakes at
    // the earliest deadline set since it last woke and looks again, so a busy connection
    // does not re-arm a timer with every request.
    void setDeadline(SteadyClock::time_point when) {
        deadline_ = when;
        if (!watching_ || when < watchdog_.expiry()) {
            watch(when);
        }
    }

    void watch(SteadyClock::time_point when) {
        watching_ = true;
        watchdog_.expires_at(when);
        watchdog_.async_wait([self = this->shared_from_this()](beast::error_code error) {
            if (error || self->ended_) {
                return;  // moved earlier, or the connection ended
            }
            self->watching_ = false;
            if (SteadyClock::now() >= self->deadline_) {
                self->end();
            } else {
                self->watch(self->deadline_);
            }
        });
    }

    void end() {
        ended_ = true;
        timer_.cancel();
        watchdog_.cancel();
        lowest().close();
    }

    State& state_;
    Stream stream_;
    asio::steady_timer timer_;  // the event stream's poll
    asio::steady_timer watchdog_;
    SteadyClock::time_point deadline_{};
    bool watching_ = false;
    bool ended_ = false;
    net::ClientCaps::Slot slot_;
    net::ClientCaps::Slot streamSlot_;
    const std::string peer_;
    const SteadyClock::time_point accepted_;
    Phase phase_ = Phase::Fresh;
    beast::flat_buffer buffer_{kMaxHeaderBytes + kMaxBodyBytes};
    size_t blankBytes_ = 0;
    std::optional<RequestParser> parser_;
    std::optional<WireResponse> response_;
    bool keepAlive_ = true;
    bool subscribed_ = false;
    EventFeed::Cursor cursor_;
    std::string events_;
    SteadyClock::time_point lastWrite_{};
};

constexpr std::string_view kBusyReply =
    "HTTP/1.1 503 Service Unavailable\r\nContent-Type: application/json\r\nContent-Length: 32\r\n"
    "Connection: close\r\n\r\n{\"error\":\"too many connections\"}";

void admit(State& state, tcp::socket socket, bool tls) {
    beast::error_code error;
    tcp::endpoint endpoint = socket.remote_endpoint(error);
    if (error) {
        return;
    }
    std::string peer = net::peerAddress(endpoint.address());
    net::ClientCaps::Refusal why{};
    net::ClientCaps::Slot slot = state.connectionCaps->admit(peer, &why);
    if (!slot) {
        if (state.warnings.due(peer)) {
            webLog(state.config.log, kWebWarn,
                   "Web server: refused a connection from " + peer +
                       (why == net::ClientCaps::Refusal::PerAddress ? ": too many from this address"
                                                                    : ": too many connections"));
        }
        if (!tls) {
            [[maybe_unused]] ssize_t sent = ::send(socket.native_handle(), kBusyReply.data(),
                                                   kBusyReply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        }
        socket.shutdown(tcp::socket::shutdown_send, error);
        return;
    }
    socket.set_option(tcp::no_delay(true), error);
    auto launch = [](auto session) {
        session->enlist();
        asio::post(session->executor(), [session] { session->start(); });
    };
    if (tls) {
        launch(
            std::make_shared<HttpSession<true>>(state, std::move(socket), std::move(slot), std::move(peer)));
    } else {
        launch(
            std::make_shared<HttpSession<false>>(state, std::move(socket), std::move(slot), std::move(peer)));
    }
}

void acceptNext(State& state, State::Listener& listener) {
    listener.acceptor.async_accept(
        state.contextForNextConnection(), [&state, &listener](beast::error_code error, tcp::socket socket) {
            if (!error) {
                // Also when the server has begun to stop: this client is already connected.
                admit(state, std::move(socket), listener.tls);
            } else if (error == asio::error::operation_aborted || !listener.acceptor.is_open()) {
                return;
            } else if (error == asio::error::no_descriptors || error == asio::error::no_buffer_space ||
                       error == asio::error::no_memory || error.value() == ENFILE) {
                listener.retry.expires_after(50ms);  // out of resources: do not spin
                listener.retry.async_wait([&state, &listener](beast::error_code waited) {
                    if (!waited) {
                        acceptNext(state, listener);
                    }
                });
                return;
            }
            if (listener.acceptor.is_open()) {
                acceptNext(state, listener);
            }
        });
}

bool listenOn(State& state, uint32_t port, bool tls) {
    const char* kind = tls ? "HTTPS" : "HTTP";
    std::string failure;
    int fd =
        port > 65535 ? -1 : net::ListenerRegistry::acquire(static_cast<uint16_t>(port), kind, {}, failure);
    if (port > 65535) {
        failure = "not a TCP port";
    }
    if (fd < 0) {
        webLog(state.config.log, kWebError,
               std::string("Web server: cannot listen for ") + kind + " on port " + std::to_string(port) +
                   ": " + failure);
        return false;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    auto listener = std::make_unique<State::Listener>(state.accepting, tls);
    beast::error_code error;
    listener->acceptor.assign(local.ss_family == AF_INET6 ? tcp::v6() : tcp::v4(), fd, error);
    if (error) {
        ::close(fd);
        net::ListenerRegistry::release(static_cast<uint16_t>(port));
        webLog(state.config.log, kWebError,
               std::string("Web server: cannot listen for ") + kind + " on port " + std::to_string(port) +
                   ": " + error.message());
        return false;
    }
    state.registeredPorts.push_back(static_cast<uint16_t>(port));
    acceptNext(state, *listener);
    state.listeners.push_back(std::move(listener));
    webLog(state.config.log, kWebInfo,
           std::string("Web server: ") + kind + " on port " + std::to_string(port));
    return true;
}

}  // namespace

void configureFromEnvironment(WebServerConfig& config, const std::string& storageDirectory,
                              bool storageReadOnly) {
    const char* certificate = std::getenv("SSL_CERTIFICATE_PATH");
    const char* key = std::getenv("SSL_PRIVATE_PATH");
    config.tls.certificatePath = certificate != nullptr ? certificate : "";
    config.tls.privateKeyPath = key != nullptr ? key : "";
    config.tls.storageDirectory = storageDirectory;
    config.tls.storageReadOnly = storageReadOnly;
    config.login = loginSettingsFromEnvironment(config.log, storageDirectory, storageReadOnly);
    if (const char* perAddress = std::getenv("WEB_MAX_PER_ADDRESS"); perAddress != nullptr && *perAddress) {
        std::string_view text(perAddress);
        size_t value = 0;
        auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
        if (error == std::errc() && end == text.data() + text.size() && value > 0) {
            config.maxPerAddress = value;
        } else {
            webLog(config.log, kWebWarn,
                   "Web server: WEB_MAX_PER_ADDRESS is not a positive number; using " +
                       std::to_string(config.maxPerAddress));
        }
    }
}

std::shared_ptr<WebServer> WebServer::start(WebServerConfig config) {
    auto state = std::make_shared<State>();
    state->config = std::move(config);
    WebServerConfig& cfg = state->config;
    if (!cfg.channel) {
        webLog(cfg.log, kWebError, "Web server: cannot start");
        return nullptr;
    }
    for (int i = 0; i < std::max(1, cfg.ioThreads); ++i) {
        state->contexts.push_back(std::make_unique<asio::io_context>(1));
        state->keepRunning.push_back(asio::make_work_guard(*state->contexts.back()));
    }
    state->connectionCaps.emplace(cfg.maxPerAddress, cfg.maxConnections);
    state->streamCaps.emplace(cfg.maxStreamsPerAddress, cfg.maxStreams);
    state->app = std::make_unique<WebApp>(cfg.login, cfg.channel, cfg.log);
    state->feed = std::make_unique<EventFeed>(cfg.channel, cfg.meterInterval);
    if (!state->threads.spawn([state] { state->feed->run(); })) {
        return nullptr;
    }
    if (cfg.httpPort != 0 && cfg.httpPort == cfg.httpsPort) {
        webLog(cfg.log, kWebError,
               "Web server: HTTP and HTTPS cannot share port " + std::to_string(cfg.httpPort));
    }
    int status = 0;
    if (cfg.httpPort != 0 && listenOn(*state, cfg.httpPort, false)) {
        status |= kStatusHttp;
    }
    if (cfg.httpsPort != 0 && cfg.httpsPort != cfg.httpPort) {
        state->tls = makeServerTlsContext(cfg.tls, cfg.log);
        if (state->tls) {
            // The context is shared: Asio's wrapper takes a reference of its own.
            SSL_CTX_up_ref(state->tls.get());
            state->ssl.emplace(state->tls.get());
            if (listenOn(*state, cfg.httpsPort, true)) {
                status |= kStatusHttps;
            }
        }
    }
    state->status = status;
    for (auto& context : state->contexts) {
        state->threads.spawn([state, &context = *context] { context.run(); });
    }
    state->threads.spawn([state] {
        state->accepting.run();
        // The listeners are closed and the last connection accepted has been handed to
        // its I/O thread: those threads may end once their connections have.
        for (auto& guard : state->keepRunning) {
            guard.reset();
        }
    });
    return std::shared_ptr<WebServer>(new WebServer(state));
}

WebServer::~WebServer() {
    stop(1000ms);
}

int WebServer::status() const {
    return state_->status.load();
}

bool WebServer::stop(std::chrono::milliseconds timeout) {
    auto start = SteadyClock::now();
    auto deadline = start + timeout;
    State& state = *state_;
    if (!state.stopping.exchange(true)) {
        state.status = 0;
        state.feed->stop();
        state.config.channel->shutdown();
        for (auto& listener : state.listeners) {
            // Closes this server's duplicate only; a server that took the port over goes on.
            asio::post(listener->acceptor.get_executor(), [&state, &listener = *listener] {
                beast::error_code ignored;
                listener.acceptor.close(ignored);
                listener.retry.cancel();
                std::lock_guard lock(state.sessionsMutex);
                ++state.listenersClosed;
                state.sessionsEnded.notify_all();
            });
        }
        for (uint16_t port : state.registeredPorts) {
            net::ListenerRegistry::release(port);
        }
        {
            // No connection may come in after the last one is cut; and the port must be
            // closed before the context stops, or this server's duplicate would go on
            // listening until the server is released.
            std::unique_lock lock(state.sessionsMutex);
            state.sessionsEnded.wait_until(lock, deadline,
                                           [&] { return state.listenersClosed == state.listeners.size(); });
        }
        state.cutSessions(Phase::Idle);
        auto freshGrace = std::min<std::chrono::milliseconds>(timeout / 4, 100ms);
        if (!state.waitSessionsEnded(start + freshGrace)) {
            state.cutSessions(Phase::Fresh);
        }
        // Connections answering (or handed over by the port just as the server began to
        // stop) get until half the time-out, then everything is cut.
        auto last = start + timeout * 3 / 4;
        if (!state.waitSessionsEnded(start + timeout / 2)) {
            do {
                state.cutSessions(Phase::Busy);
            } while (!state.waitSessionsEnded(std::min(last, SteadyClock::now() + 20ms)) &&
                     SteadyClock::now() < last);
        }
    }
    // With the ports closed and every connection ended the I/O threads run out of work.
    if (state.threads.waitEnded(start + timeout * 7 / 8)) {
        return true;
    }
    state.stopContexts();  // whatever is left is released with the server
    return state.threads.waitEnded(deadline);
}

}  // namespace zephrane::web
