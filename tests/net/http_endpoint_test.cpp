#include "net/http_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zephrane::net {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

HttpEndpoint::Answer pages(std::string_view method, std::string_view target) {
    if (method != "GET" && method != "HEAD") {
        return {405, "text/plain", "method not allowed\n"};
    }
    if (target == "/metrics") {
        return {200, "text/plain; version=0.0.4", "zephrane_cycles_total 7\n"};
    }
    return {404, "text/plain", "not found\n"};
}

// A client socket from the given loopback address.
class Client {
  public:
    Client(uint16_t port, const char* from = "127.0.0.1") {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        inet_pton(AF_INET, from, &local.sin_addr);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local), 0);
        sockaddr_in server{};
        server.sin_family = AF_INET;
        server.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
        connected_ = connect(fd_, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0;
    }
    ~Client() { close(fd_); }
    bool connected() const { return connected_; }
    bool send(std::string_view text) {
        return ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) == ssize_t(text.size());
    }
    // Everything until the peer closes, or until the text holds `until`; bounded.
    std::string receive(std::string_view until = {}, std::chrono::milliseconds limit = 5000ms) {
        std::string text;
        auto deadline = Clock::now() + limit;
        closed_ = false;
        while (Clock::now() < deadline) {
            if (!until.empty() && text.find(until) != std::string::npos) {
                break;
            }
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) <= 0) {
                continue;
            }
            char chunk[4096];
            ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
            if (n <= 0) {
                closed_ = true;
                break;
            }
            text.append(chunk, size_t(n));
        }
        return text;
    }
    bool closedByPeer() const { return closed_; }

  private:
    int fd_ = -1;
    bool connected_ = false;
    bool closed_ = false;
};

struct Warnings {
    std::mutex mutex;
    std::vector<std::string> lines;
    HttpEndpoint::RefusalWarning sink() {
        return [this](const std::string& address, const std::string& reason) {
            std::lock_guard lock(mutex);
            lines.push_back(address + ": " + reason);
        };
    }
    size_t count() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
};

HttpEndpoint::Limits quick() {
    HttpEndpoint::Limits limits;
    limits.requestDeadline = 600ms;
    limits.keepAliveIdle = 300ms;
    return limits;
}

TEST(HttpEndpoint, AnswersThroughTheHandlerAndKeepsTheConnection) {
    HttpEndpoint endpoint(pages, {}, {});
    ASSERT_EQ(endpoint.start(0, "127.0.0.1"), "");
    Client client(endpoint.port());
    ASSERT_TRUE(client.connected());

    ASSERT_TRUE(client.send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string get = client.receive("_total 7\n");
    EXPECT_EQ(get.rfind("HTTP/1.1 200", 0), 0u) << get;
    EXPECT_NE(get.find("Content-Type: text/plain; version=0.0.4"), std::string::npos);

    // HEAD: the length of the page, no body.
    ASSERT_TRUE(client.send("HEAD /metrics HTTP/1.1\r\nHost: x\r\n\r\n"));
    std::string head = client.receive("\r\n\r\n");
    EXPECT_NE(head.find("Content-Length: 24"), std::string::npos) << head;
    EXPECT_EQ(client.receive({}, 200ms), "");

    ASSERT_TRUE(client.send("GET /other HTTP/1.1\r\nHost: x\r\n\r\n"));
    EXPECT_EQ(client.receive("found\n").rfind("HTTP/1.1 404", 0), 0u);
    ASSERT_TRUE(client.send("DELETE /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n"));
    std::string refused = client.receive();
    EXPECT_EQ(refused.rfind("HTTP/1.1 405", 0), 0u) << refused;
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(endpoint.stop());
}

TEST(HttpEndpoint, ClosesSlowBigBodiedAndIdleConnections) {
    HttpEndpoint endpoint(pages, {}, quick());
    ASSERT_EQ(endpoint.start(0, "127.0.0.1"), "");

    // A head trickled a byte at a time never completes within its deadline.
    Client slow(endpoint.port());
    std::string head = "GET /metrics HTTP/1.1\r\nHost: x\r\nX-Padding: ";
    auto began = Clock::now();
    bool cut = false;
    for (int i = 0; i < 100 && !cut; ++i) {
        cut = !slow.send(i < int(head.size()) ? head.substr(size_t(i), 1) : "a");
        std::string got = slow.receive({}, 50ms);
        EXPECT_EQ(got, "");
        cut = cut || slow.closedByPeer();
    }
    EXPECT_TRUE(cut);
    EXPECT_LT(Clock::now() - began, 4s);

    // A head over 8 KiB and a request with a body are not answered.
    Client big(endpoint.port());
    big.send("GET /metrics HTTP/1.1\r\nX: " + std::string(9000, 'a') + "\r\n\r\n");
    EXPECT_EQ(big.receive(), "");
    EXPECT_TRUE(big.closedByPeer());
    Client bodied(endpoint.port());
    bodied.send("GET /metrics HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    EXPECT_EQ(bodied.receive().find("200 OK"), std::string::npos);
    EXPECT_TRUE(bodied.closedByPeer());

    // After an answer, a silent client is let go after the idle time.
    Client idle(endpoint.port());
    idle.send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(idle.receive("_total 7\n").find("200 OK"), std::string::npos);
    idle.receive({}, 4000ms);
    EXPECT_TRUE(idle.closedByPeer());
}

TEST(HttpEndpoint, CapsConnectionsPerAddressAndWarnsOnce) {
    Warnings warnings;
    HttpEndpoint::Limits limits;
    limits.perAddress = 2;
    limits.total = 3;
    HttpEndpoint endpoint(pages, warnings.sink(), limits);
    ASSERT_EQ(endpoint.start(0, "127.0.0.1"), "");

    Client first(endpoint.port(), "127.0.0.2");
    Client second(endpoint.port(), "127.0.0.2");
    // Both held, so the next ones from the address are turned away.
    for (auto* held : {&first, &second}) {
        held->send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_NE(held->receive("_total 7\n").find("200 OK"), std::string::npos);
    }
    for (int i = 0; i < 3; ++i) {
        Client over(endpoint.port(), "127.0.0.2");
        over.send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
        EXPECT_EQ(over.receive(), "");
        EXPECT_TRUE(over.closedByPeer());
    }
    EXPECT_EQ(warnings.count(), 1u);

    // Another address still gets its answer, up to the total.
    Client other(endpoint.port(), "127.0.0.3");
    other.send("GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n");
    EXPECT_NE(other.receive("_total 7\n").find("200 OK"), std::string::npos);
    Client beyondTotal(endpoint.port(), "127.0.0.4");
    EXPECT_EQ(beyondTotal.receive(), "");
    EXPECT_TRUE(beyondTotal.closedByPeer());
    EXPECT_EQ(warnings.count(), 2u);
}

TEST(HttpEndpoint, StopEndsOpenConnectionsAndABusyPortIsReported) {
    HttpEndpoint endpoint(pages, {}, {});
    ASSERT_EQ(endpoint.start(0, "127.0.0.1"), "");
    uint16_t port = endpoint.port();

    HttpEndpoint second(pages, {}, {});
    EXPECT_NE(second.start(port, "127.0.0.1"), "");
    EXPECT_EQ(second.port(), 0);

    Client open(port);
    ASSERT_TRUE(open.connected());
    open.send("GET /met");  // half a request, waiting on its deadline
    auto began = Clock::now();
    EXPECT_TRUE(endpoint.stop(5000ms));
    EXPECT_LT(Clock::now() - began, 5s);
    open.receive({}, 2000ms);
    EXPECT_TRUE(open.closedByPeer());
    Client after(port);
    EXPECT_FALSE(after.connected());
}

}  // namespace
}  // namespace zephrane::net
