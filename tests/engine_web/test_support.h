#pragma once

// Helpers for the web interface tests: a fake processing instance speaking the JSON line
// protocol, and a small HTTP(S) client on raw sockets.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <nlohmann/json.hpp>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "web_log.h"

namespace zephrane::web::test {

// A port nobody listens on right now (bound and released; good enough on a test host).
// A test asking for two ports gets two.
inline uint32_t freePort() {
    // Ports below the kernel's range for outgoing connections: a client socket of another
    // test (the attack tests open hundreds) can never take one between this check and the
    // server's bind. Where that range starts low, the kernel picks as before.
    static std::mutex mutex;
    static std::set<uint32_t> handedOut;
    static std::mt19937 random{std::random_device{}()};
    std::lock_guard lock(mutex);
    int rangeLow = 0, rangeHigh = 0;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(range, "%d %d", &rangeLow, &rangeHigh) != 2) {
            rangeLow = 0;
        }
        std::fclose(range);
    }
    std::uniform_int_distribution<int> below(10000, std::max(10000, rangeLow - 1));
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = rangeLow > 12000 ? htons(static_cast<uint16_t>(below(random))) : 0;
        bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        uint32_t port = ntohs(address.sin_port);
        if (bound && handedOut.insert(port).second) {
            return port;
        }
    }
}

// Answers get/set/preset like the engine, with meters that move, and records every line.
class FakeJsonServer {
  public:
    explicit FakeJsonServer(uint32_t port = 0) { start(port); }
    ~FakeJsonServer() { stop(); }

    void start(uint32_t port = 0) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            std::abort();
        }
        ::listen(listenFd_, 16);
        socklen_t length = sizeof address;
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        running_ = true;
        thread_ = std::thread([this] { serve(); });
    }

    void stop() {
        if (!running_.exchange(false)) {
            return;
        }
        ::shutdown(listenFd_, SHUT_RDWR);
        thread_.join();
        ::close(listenFd_);
    }

    uint32_t port() const { return port_; }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    int connections() const { return connections_; }
    nlohmann::json settings() {
        std::lock_guard lock(mutex_);
        return settings_;
    }

  private:
    void serve() {
        while (running_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 50) <= 0) {
                continue;
            }
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd < 0) {
                continue;
            }
            ++connections_;
            std::string buffer;
            char chunk[4096];
            while (running_) {
                pollfd c{fd, POLLIN, 0};
                if (::poll(&c, 1, 50) <= 0) {
                    continue;
                }
                ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    break;
                }
                buffer.append(chunk, static_cast<size_t>(n));
                size_t newline;
                while ((newline = buffer.find('\n')) != std::string::npos) {
                    std::string line = buffer.substr(0, newline);
                    buffer.erase(0, newline + 1);
                    std::string reply = answer(line) + "\n";
                    ::send(fd, reply.data(), reply.size(), MSG_NOSIGNAL);
                }
            }
            ::close(fd);  // one client at a time, like a line server with one web front-end
        }
    }

    std::string answer(const std::string& line) {
        std::lock_guard lock(mutex_);
        lines_.push_back(line);
        nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
        if (!request.is_object()) {
            return R"({"error":"bad json"})";
        }
        ++tick_;
        double level = -40.0 + (tick_ % 20);
        nlohmann::json meter = {{"in", {{"peak", level}, {"rms", level - 6}}},
                                {"out", {{"peak", level - 1}, {"rms", level - 7}}},
                                {"load", 1.5}};
        if (request.contains("get")) {
            if (request["get"].is_object() && request["get"].contains("meter")) {
                return nlohmann::json{{"meter", meter}}.dump();
            }
            nlohmann::json tree = settings_;
            tree["meter"] = meter;
            tree["meta"] = {{"station", "Test FM"}};
            tree["info"] = {{"version", "fake-1"}, {"rate", 48000}, {"chunk", 12}};
            tree["preset"] = {{"onair", onair_}, {"since", nullptr}};
            return tree.dump();
        }
        if (request.contains("set") && request["set"].is_object()) {
            settings_.merge_patch(request["set"]);
            return request["set"].dump();
        }
        if (request.contains("preset") && request["preset"].is_object()) {
            auto& preset = request["preset"];
            if (preset.contains("save")) {
                presets_.push_back(preset["save"].get<std::string>());
                return nlohmann::json{{"preset", {{"saved", preset["save"]}}}}.dump();
            }
            if (preset.contains("load")) {
                onair_ = preset["load"].get<std::string>();
                nlohmann::json reply = settings_;
                reply["preset"] = {{"onair", onair_}, {"since", "2026-01-01T00:00:00Z"}};
                return reply.dump();
            }
            return nlohmann::json{{"preset", {{"list", presets_}, {"onair", onair_}, {"since", nullptr}}}}
                .dump();
        }
        return R"({"error":"unknown command"})";
    }

    int listenFd_ = -1;
    uint32_t port_ = 0;
    std::atomic<bool> running_{false};
    std::atomic<int> connections_{0};
    std::thread thread_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
    int tick_ = 0;
    nlohmann::json settings_ = {{"in", {{"gain", 0.0}}},
                                {"out", {{"gain", 0.0}}},
                                {"limiter", {{"ceiling", -1.0}, {"release", 100.0}}}};
    nlohmann::json onair_ = nullptr;
    std::vector<std::string> presets_;
};

struct HttpReply {
    int status = 0;
    std::map<std::string, std::string> headers;  // lower-case names; Set-Cookie: the last one
    std::string body;
    std::string header(const std::string& name) const {
        auto found = headers.find(name);
        return found == headers.end() ? std::string() : found->second;
    }
};

// Parses one response with Content-Length from the front of text; false if incomplete.
inline bool parseReply(std::string& text, HttpReply& reply, bool head = false) {
    size_t end = text.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    HttpReply parsed;
    parsed.status = std::atoi(text.substr(9, 3).c_str());
    size_t pos = text.find("\r\n") + 2;
    while (pos < end) {
        size_t lineEnd = text.find("\r\n", pos);
        std::string line = text.substr(pos, lineEnd - pos);
        size_t colon = line.find(':');
        std::string name = line.substr(0, colon);
        for (char& c : name) {
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        }
        parsed.headers[name] = line.substr(colon + 2);
        pos = lineEnd + 2;
    }
    size_t length = head ? 0 : std::strtoul(parsed.header("content-length").c_str(), nullptr, 10);
    if (text.size() < end + 4 + length) {
        return false;
    }
    parsed.body = text.substr(end + 4, length);
    text.erase(0, end + 4 + length);
    reply = std::move(parsed);
    return true;
}

// One client connection, plain or TLS (no certificate check; the tests look at the
// fingerprint themselves).
class Client {
  public:
    Client(uint32_t port, bool tls = false) {
        fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(static_cast<uint16_t>(port));
        timeval timeout{5, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        if (connected_ && tls) {
            ctx_ = SSL_CTX_new(TLS_client_method());
            ssl_ = SSL_new(ctx_);
            SSL_set_fd(ssl_, fd_);
            connected_ = SSL_connect(ssl_) == 1;
            ERR_clear_error();
        }
    }
    ~Client() {
        if (ssl_ != nullptr) {
            SSL_free(ssl_);
        }
        if (ctx_ != nullptr) {
            SSL_CTX_free(ctx_);
        }
        ::close(fd_);
    }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool connected() const { return connected_; }
    SSL* ssl() const { return ssl_; }

    bool send(const std::string& data) {
        if (ssl_ != nullptr) {
            return SSL_write(ssl_, data.data(), static_cast<int>(data.size())) ==
                   static_cast<int>(data.size());
        }
        return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }

    // Bytes until the peer closes or the receive time-out; appended to the buffer.
    bool readMore() {
        char chunk[4096];
        ssize_t n =
            ssl_ != nullptr ? SSL_read(ssl_, chunk, sizeof chunk) : ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            return false;
        }
        buffer_.append(chunk, static_cast<size_t>(n));
        return true;
    }

    HttpReply read(bool head = false) {
        HttpReply reply;
        while (!parseReply(buffer_, reply, head)) {
            if (!readMore()) {
                return HttpReply{};
            }
        }
        return reply;
    }

    HttpReply request(const std::string& method, const std::string& path, const std::string& body = "",
                      const std::string& extraHeaders = "") {
        std::string text = method + " " + path + " HTTP/1.1\r\nHost: localhost\r\n" + extraHeaders;
        if (!body.empty() || method == "POST") {
            text +=
                "Content-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
        }
        text += "\r\n" + body;
        if (!send(text)) {
            return HttpReply{};
        }
        return read(method == "HEAD");
    }

    // True when the server closed the connection (read returns end of stream).
    bool closedByPeer() {
        char c;
        ssize_t n = ssl_ != nullptr ? SSL_read(ssl_, &c, 1) : ::recv(fd_, &c, 1, 0);
        return n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK);
    }

    std::string& buffer() { return buffer_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    SSL_CTX* ctx_ = nullptr;
    SSL* ssl_ = nullptr;
    std::string buffer_;
};

// Collects log lines from the server's threads.
class LogCapture {
  public:
    WebLog logger() {
        return [this](int severity, const std::string& text) {
            std::lock_guard lock(mutex_);
            lines_.emplace_back(severity, text);
        };
    }
    bool contains(int severity, const std::string& part) {
        std::lock_guard lock(mutex_);
        for (const auto& [s, text] : lines_) {
            if (s == severity && text.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    }
    size_t count(int severity) {
        std::lock_guard lock(mutex_);
        size_t n = 0;
        for (const auto& line : lines_) {
            n += line.first == severity ? 1 : 0;
        }
        return n;
    }
    std::string all() {
        std::lock_guard lock(mutex_);
        std::string out;
        for (const auto& [s, text] : lines_) {
            out += std::to_string(s) + " " + text + "\n";
        }
        return out;
    }

  private:
    std::mutex mutex_;
    std::vector<std::pair<int, std::string>> lines_;
};

inline std::filesystem::path makeTempDir(const std::string& name) {
    std::string pattern = (std::filesystem::temp_directory_path() / (name + "-XXXXXX")).string();
    return std::filesystem::path(::mkdtemp(pattern.data()));
}

}  // namespace zephrane::web::test
