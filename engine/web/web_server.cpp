#include "web_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "event_feed.h"
#include "http_message.h"
#include "listeners.h"
#include "web_app.h"

namespace zephrane::web {

namespace {

struct ThreadCount {
    std::mutex mutex;
    std::condition_variable ended;
    int live = 0;
};

}  // namespace

struct WebServer::State {
    WebServerConfig config;
    std::unique_ptr<WebApp> app;
    std::unique_ptr<EventFeed> feed;
    TlsContext tls;
    int wakeFd = -1;
    std::atomic<bool> stopping{false};
    std::atomic<int> status{0};

    // Guards `connections` and counts the server's threads. Shared apart from the state, so
    // that a thread lets go of the state before it reports its end: after a clean stop the
    // owner releases the state (and the TLS context) itself, never a server thread racing
    // the host's exit.
    std::shared_ptr<ThreadCount> threads = std::make_shared<ThreadCount>();
    // Open connections and what each is doing. A stop closes the ones kept alive between
    // requests at once, gives a new one a moment for its first request, and lets one
    // that is answering finish, so a request made just as a new instance takes over the
    // port is not cut off.
    enum class Phase { Fresh, Busy, Idle };
    std::map<int, Phase> connections;

    void setPhase(int fd, Phase phase) {
        std::lock_guard lock(threads->mutex);
        connections[fd] = phase;
    }

    ~State() {
        if (wakeFd >= 0) {
            ::close(wakeFd);
        }
    }
};

namespace {

using State = WebServer::State;
using namespace std::chrono_literals;

// Runs a counted thread of the server. A write to a closed peer must not raise SIGPIPE
// in the host, so the signal is blocked on the server's threads (it then stays pending
// on the thread and the write fails with EPIPE).
template <typename Body>
bool spawn(const std::shared_ptr<State>& state, Body body) {
    std::shared_ptr<ThreadCount> threads = state->threads;
    {
        std::lock_guard lock(threads->mutex);
        ++threads->live;
    }
    try {
        std::thread([threads, job = std::optional<Body>(std::move(body))]() mutable {
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, SIGPIPE);
            pthread_sigmask(SIG_BLOCK, &set, nullptr);
            (*job)();
            job.reset();  // its hold on the state ends here
            // The TLS library's state for this thread (its error queue) is freed now, not
            // at thread exit, which can come after a host that stopped the server has exited.
            OPENSSL_thread_stop();
            std::lock_guard lock(threads->mutex);
            --threads->live;
            threads->ended.notify_all();
        }).detach();
        return true;
    } catch (...) {
        std::lock_guard lock(threads->mutex);
        --threads->live;
        return false;
    }
}

std::string peerText(const sockaddr_storage& address) {
    char text[INET6_ADDRSTRLEN] = "?";
    if (address.ss_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(address).sin_addr, text, sizeof text);
    } else if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        if (IN6_IS_ADDR_V4MAPPED(&v6.sin6_addr)) {
            // One address, one throttle entry, whichever socket family it came in on.
            inet_ntop(AF_INET, &v6.sin6_addr.s6_addr[12], text, sizeof text);
        } else {
            inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
        }
    }
    return text;
}

class Connection {
  public:
    Connection(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
    ~Connection() {
        if (ssl_ != nullptr) {
            SSL_free(ssl_);
        }
    }

    // Bytes read (> 0), 0 when the peer closed or the time ran out, -1 on error.
    ssize_t read(char* buffer, size_t size, std::chrono::milliseconds timeout) {
        if (ssl_ == nullptr || SSL_pending(ssl_) == 0) {
            pollfd p{fd_, POLLIN, 0};
            int ready;
            do {
                ready = ::poll(&p, 1, static_cast<int>(timeout.count()));
            } while (ready < 0 && errno == EINTR);
            if (ready <= 0) {
                return 0;
            }
        }
        if (ssl_ != nullptr) {
            int n = SSL_read(ssl_, buffer, static_cast<int>(size));
            return n > 0 ? n : -1;
        }
        ssize_t n;
        do {
            n = ::recv(fd_, buffer, size, 0);
        } while (n < 0 && errno == EINTR);
        return n;
    }

    bool write(std::string_view data) {
        while (!data.empty()) {
            ssize_t n;
            if (ssl_ != nullptr) {
                n = SSL_write(ssl_, data.data(), static_cast<int>(data.size()));
            } else {
                do {
                    n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL);
                } while (n < 0 && errno == EINTR);
            }
            if (n <= 0) {
                return false;
            }
            data.remove_prefix(static_cast<size_t>(n));
        }
        return true;
    }

  private:
    int fd_;
    SSL* ssl_;
};

void streamEvents(State& state, Connection& connection, const HttpResponse& response, bool keepAlive) {
    if (!connection.write(serializeHttpResponse(response, keepAlive, false) + "retry: 500\n\n")) {
        return;
    }
    state.feed->subscribe();
    EventFeed::Cursor cursor;
    std::string out;
    while (!state.stopping) {
        out.clear();
        if (!state.feed->next(cursor, out, 15s)) {
            break;
        }
        // A comment line now and then finds a browser that went away.
        if (!connection.write(out.empty() ? std::string_view(":\n\n") : std::string_view(out))) {
            break;
        }
    }
    state.feed->unsubscribe();
}

void serveConnection(const std::shared_ptr<State>& state, int fd, const std::string& peer, bool tls) {
    // Bounds a client that stops reading or sends a request a byte at a time.
    timeval timeout{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    SSL* ssl = nullptr;
    if (tls) {
        ssl = SSL_new(state->tls.get());
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1 || SSL_accept(ssl) != 1) {
            if (ssl != nullptr) {
                SSL_free(ssl);
            }
            ERR_clear_error();
            return;
        }
    }
    Connection connection(fd, ssl);
    std::string buffer;
    char chunk[8192];
    bool keepGoing = true;
    // A new connection gets its first request answered even while the server stops: the
    // browser sent it to a port that is still served.
    int answered = 0;
    auto ending = [&] { return state->stopping && answered > 0; };
    while (keepGoing && !ending()) {
        HttpRequest request;
        HttpParseResult parsed = parseHttpRequest(buffer, request);
        auto started = std::chrono::steady_clock::now();
        while (parsed.kind == HttpParseResult::Incomplete && !ending()) {
            auto limit = buffer.empty() ? state->config.keepAliveIdle
                                        : state->config.requestTimeout -
                                              std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  std::chrono::steady_clock::now() - started);
            if (limit <= 0ms) {
                break;
            }
            ssize_t n = connection.read(chunk, sizeof chunk, limit);
            if (n <= 0) {
                break;
            }
            buffer.append(chunk, static_cast<size_t>(n));
            parsed = parseHttpRequest(buffer, request);
        }
        if (parsed.kind == HttpParseResult::Incomplete) {
            break;  // closed, timed out or stopping: nothing worth an answer
        }
        if (parsed.kind == HttpParseResult::Error) {
            HttpResponse response;
            response.status = parsed.status;
            response.set("Content-Type", "application/json");
            response.body = R"({"error":")" + std::string(httpReasonPhrase(parsed.status)) + R"("})";
            connection.write(serializeHttpResponse(response, false, false));
            break;
        }
        buffer.erase(0, parsed.consumed);
        state->setPhase(fd, State::Phase::Busy);
        RequestContext context{peer, tls, Clock::now()};
        HttpResponse response;
        try {
            response = state->app->handle(request, context);
        } catch (const std::exception& e) {
            webLog(state->config.log, kWebError, std::string("Web server: request failed: ") + e.what());
            response = HttpResponse{};
            response.status = 500;
            response.closeConnection = true;
        }
        keepGoing = request.keepAlive && !response.closeConnection && !state->stopping;
        if (response.eventStream) {
            state->setPhase(fd, State::Phase::Idle);  // a stream ends with the server; the browser reconnects
            streamEvents(*state, connection, response, false);
            break;
        }
        bool written = connection.write(serializeHttpResponse(response, keepGoing, request.method == "HEAD"));
        ++answered;
        state->setPhase(fd, State::Phase::Idle);
        if (!written) {
            break;
        }
    }
    if (ssl != nullptr && !state->stopping) {
        SSL_shutdown(ssl);  // close_notify, so the browser knows the close was meant
    }
    ERR_clear_error();
}

void acceptLoop(const std::shared_ptr<State>& state, int listenFd, uint32_t port, bool tls) {
    pollfd fds[2] = {{listenFd, POLLIN, 0}, {state->wakeFd, POLLIN, 0}};
    while (!state->stopping) {
        int ready = ::poll(fds, 2, -1);
        if (ready < 0 && errno != EINTR) {
            break;
        }
        if (state->stopping || ready <= 0 || (fds[0].revents & POLLIN) == 0) {
            continue;
        }
        sockaddr_storage address{};
        socklen_t length = sizeof address;
        // The socket may be shared with the server this one replaces; whichever takes
        // the connection first serves it, the other sees EAGAIN.
        int fd = ::accept4(listenFd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                std::this_thread::sleep_for(50ms);  // out of resources: do not spin
            }
            continue;
        }
        {
            std::lock_guard lock(state->threads->mutex);
            // One accepted while stopping is served all the same (its client is already
            // connected); only the connection limit turns clients away.
            if (static_cast<int>(state->connections.size()) >= state->config.maxConnections) {
                ::close(fd);
                continue;
            }
            state->connections[fd] = State::Phase::Fresh;
        }
        std::string peer = peerText(address);
        bool started = spawn(state, [state, fd, peer, tls] {
            serveConnection(state, fd, peer, tls);
            std::lock_guard lock(state->threads->mutex);
            state->connections.erase(fd);
            ::close(fd);
        });
        if (!started) {
            std::lock_guard lock(state->threads->mutex);
            state->connections.erase(fd);
            ::close(fd);
        }
    }
    Listeners::release(port);
}

bool listenOn(const std::shared_ptr<State>& state, uint32_t port, bool tls) {
    const char* kind = tls ? "HTTPS" : "HTTP";
    std::string failure;
    int fd = Listeners::acquire(port, tls, failure);
    if (fd < 0) {
        webLog(state->config.log, kWebError,
               std::string("Web server: cannot listen for ") + kind + " on port " + std::to_string(port) +
                   ": " + failure);
        return false;
    }
    if (!spawn(state, [state, fd, port, tls] { acceptLoop(state, fd, port, tls); })) {
        Listeners::release(port);
        return false;
    }
    webLog(state->config.log, kWebInfo,
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
}

std::shared_ptr<WebServer> WebServer::start(WebServerConfig config) {
    auto state = std::make_shared<State>();
    state->config = std::move(config);
    WebServerConfig& cfg = state->config;
    state->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state->wakeFd < 0 || !cfg.channel) {
        webLog(cfg.log, kWebError, "Web server: cannot start");
        return nullptr;
    }
    state->app = std::make_unique<WebApp>(cfg.login, cfg.channel, cfg.log);
    state->feed = std::make_unique<EventFeed>(cfg.channel, cfg.meterInterval);
    if (!spawn(state, [state] { state->feed->run(); })) {
        return nullptr;
    }
    if (cfg.httpPort != 0 && cfg.httpPort == cfg.httpsPort) {
        webLog(cfg.log, kWebError,
               "Web server: HTTP and HTTPS cannot share port " + std::to_string(cfg.httpPort));
    }
    int status = 0;
    if (cfg.httpPort != 0 && listenOn(state, cfg.httpPort, false)) {
        status |= kStatusHttp;
    }
    if (cfg.httpsPort != 0 && cfg.httpsPort != cfg.httpPort) {
        state->tls = makeServerTlsContext(cfg.tls, cfg.log);
        if (state->tls && listenOn(state, cfg.httpsPort, true)) {
            status |= kStatusHttps;
        }
    }
    state->status = status;
    return std::shared_ptr<WebServer>(new WebServer(state));
}

WebServer::~WebServer() {
    stop(1000ms);
}

int WebServer::status() const {
    return state_->status.load();
}

bool WebServer::stop(std::chrono::milliseconds timeout) {
    auto start = std::chrono::steady_clock::now();
    auto deadline = start + timeout;
    State& state = *state_;
    ThreadCount& threads = *state.threads;
    std::unique_lock lock(threads.mutex);
    if (!state.stopping.exchange(true)) {
        state.status = 0;
        uint64_t one = 1;
        [[maybe_unused]] ssize_t n = ::write(state.wakeFd, &one, sizeof one);
        state.feed->stop();
        state.config.channel->shutdown();
        auto cut = [&](State::Phase which) {
            for (auto [fd, phase] : state.connections) {
                pollfd p{fd, POLLIN, 0};
                // Request bytes waiting make a connection busy, whatever its phase.
                if (phase == which && ::poll(&p, 1, 0) == 0) {
                    ::shutdown(fd, SHUT_RDWR);  // wakes its thread, which closes it
                }
            }
        };
        auto settled = [&] { return state.connections.empty(); };
        cut(State::Phase::Idle);
        auto freshGrace = std::min<std::chrono::milliseconds>(timeout / 4, 100ms);
        threads.ended.wait_until(lock, start + freshGrace, settled);
        cut(State::Phase::Fresh);
        threads.ended.wait_until(lock, start + timeout / 2, settled);
        for (auto [fd, phase] : state.connections) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }
    return threads.ended.wait_until(lock, deadline, [&] { return threads.live == 0; });
}

}  // namespace zephrane::web
