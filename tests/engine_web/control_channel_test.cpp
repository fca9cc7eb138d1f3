#include "control_channel.h"

#include <gtest/gtest.h>

#include "test_support.h"

namespace zephrane::web {
namespace {

using namespace std::chrono_literals;
using test::FakeJsonServer;

TcpChannelTimeouts fastTimeouts() {
    TcpChannelTimeouts timeouts;
    timeouts.connect = 200ms;
    timeouts.reply = 500ms;
    timeouts.retry = 50ms;
    return timeouts;
}

TEST(TcpControlChannel, ExchangesLinesOverOneConnection) {
    FakeJsonServer fake;
    TcpControlChannel channel("127.0.0.1", fake.port(), nullptr, fastTimeouts());
    EXPECT_FALSE(channel.connected());
    auto reply = channel.request(R"({"set":{"in":{"gain":-30}}})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, R"({"in":{"gain":-30}})");
    EXPECT_TRUE(channel.request(R"({"get":null})"));
    EXPECT_TRUE(channel.connected());
    EXPECT_EQ(fake.connections(), 1);
    EXPECT_EQ(fake.lines().size(), 2u);
}

TEST(TcpControlChannel, ResolvesHostNames) {
    FakeJsonServer fake;
    TcpControlChannel channel("localhost", fake.port(), nullptr, fastTimeouts());
    EXPECT_TRUE(channel.request(R"({"get":null})"));
}

TEST(TcpControlChannel, ReconnectsAfterTheInstanceRestarts) {
    auto fake = std::make_unique<FakeJsonServer>();
    uint32_t port = fake->port();
    test::LogCapture log;
    TcpControlChannel channel("127.0.0.1", port, log.logger(), fastTimeouts());
    ASSERT_TRUE(channel.request(R"({"get":null})"));

    fake.reset();  // the instance goes away
    EXPECT_FALSE(channel.request(R"({"get":null})"));
    EXPECT_FALSE(channel.connected());
    EXPECT_TRUE(log.contains(kWebWarn, "127.0.0.1:" + std::to_string(port)));

    fake = std::make_unique<FakeJsonServer>(port);  // and comes back on the same port
    std::optional<std::string> reply;
    for (int i = 0; i < 40 && !reply; ++i) {
        std::this_thread::sleep_for(25ms);
        reply = channel.request(R"({"set":{"out":{"gain":-3}}})");
    }
    ASSERT_TRUE(reply);
    EXPECT_TRUE(channel.connected());
    EXPECT_EQ(fake->lines().back(), R"({"set":{"out":{"gain":-3}}})");
    EXPECT_TRUE(log.contains(kWebInfo, "connected"));
}

TEST(TcpControlChannel, StaleConnectionIsReplacedWithoutLosingTheRequest) {
    auto fake = std::make_unique<FakeJsonServer>();
    uint32_t port = fake->port();
    TcpControlChannel channel("127.0.0.1", port, nullptr, fastTimeouts());
    ASSERT_TRUE(channel.request(R"({"get":null})"));
    // Restart between two requests: the first request after it must still succeed.
    fake.reset();
    fake = std::make_unique<FakeJsonServer>(port);
    auto reply = channel.request(R"({"set":{"in":{"gain":-30}}})");
    ASSERT_TRUE(reply);
    EXPECT_EQ(fake->lines(), std::vector<std::string>{R"({"set":{"in":{"gain":-30}}})"});
}

TEST(TcpControlChannel, WorksOnceAnInstanceThatWasNotUpAtFirstStarts) {
    uint32_t port = test::freePort();
    TcpControlChannel channel("127.0.0.1", port, nullptr, fastTimeouts());
    EXPECT_FALSE(channel.request(R"({"get":null})"));
    // Within the retry interval requests fail at once instead of connecting again.
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.request(R"({"get":null})"));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 20ms);
    FakeJsonServer fake(port);
    std::this_thread::sleep_for(60ms);
    EXPECT_TRUE(channel.request(R"({"get":null})"));
}

TEST(TcpControlChannel, RefusesLinesThatWouldSplitAndStopsOnShutdown) {
    FakeJsonServer fake;
    TcpControlChannel channel("127.0.0.1", fake.port(), nullptr, fastTimeouts());
    EXPECT_FALSE(channel.request("{\"get\":null}\n{\"get\":null}"));
    EXPECT_TRUE(fake.lines().empty());
    ASSERT_TRUE(channel.request(R"({"get":null})"));
    channel.shutdown();
    EXPECT_FALSE(channel.request(R"({"get":null})"));
}

TEST(TcpControlChannel, GivesUpOnAnInstanceThatDoesNotAnswer) {
    // Accepts (backlog) but never reads: the request times out and is not retried.
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd, 4);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    TcpControlChannel channel("127.0.0.1", ntohs(address.sin_port), nullptr, fastTimeouts());
    auto before = std::chrono::steady_clock::now();
    EXPECT_FALSE(channel.request(R"({"get":null})"));
    auto took = std::chrono::steady_clock::now() - before;
    EXPECT_GE(took, 450ms);
    EXPECT_LT(took, 900ms);
    ::close(fd);
}

// A line server with the JSON port's access rules: a secret as the first line, a refusal
// of every client when full, and a close after a client was silent for a while.
class GuardedLineServer {
  public:
    struct Rules {
        std::string secret;
        bool full = false;
        std::chrono::milliseconds idleClose{0};
    };
    explicit GuardedLineServer(Rules rules) : rules_(std::move(rules)) {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
        ::listen(listenFd_, 8);
        socklen_t length = sizeof address;
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length);
        port_ = ntohs(address.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~GuardedLineServer() {
        running_ = false;
        thread_.join();
        ::close(listenFd_);
    }

    uint32_t port() const { return port_; }
    int connections() const { return connections_; }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }

  private:
    void serve() {
        while (running_) {
            pollfd p{listenFd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) {
                continue;
            }
            int fd = ::accept(listenFd_, nullptr, nullptr);
            if (fd >= 0) {
                ++connections_;
                serveClient(fd);
                ::close(fd);
            }
        }
    }

    void serveClient(int fd) {
        auto say = [fd](const std::string& line) {
            ::send(fd, (line + "\n").data(), line.size() + 1, MSG_NOSIGNAL);
        };
        if (rules_.full) {
            say(R"({"error":"too many clients"})");
            return;
        }
        bool authenticated = rules_.secret.empty();
        std::string buffer;
        auto lastHeard = std::chrono::steady_clock::now();
        while (running_) {
            if (rules_.idleClose.count() > 0 &&
                std::chrono::steady_clock::now() - lastHeard > rules_.idleClose) {
                return;
            }
            pollfd c{fd, POLLIN, 0};
            if (::poll(&c, 1, 10) <= 0) {
                continue;
            }
            char chunk[1024];
            ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
            if (n <= 0) {
                return;
            }
            lastHeard = std::chrono::steady_clock::now();
            buffer.append(chunk, static_cast<size_t>(n));
            for (size_t newline; (newline = buffer.find('\n')) != std::string::npos;) {
                std::string line = buffer.substr(0, newline);
                buffer.erase(0, newline + 1);
                {
                    std::lock_guard lock(mutex_);
                    lines_.push_back(line);
                }
                nlohmann::json request = nlohmann::json::parse(line, nullptr, false);
                if (!authenticated) {
                    if (!request.is_object() || !request.contains("auth")) {
                        say(R"({"error":"auth required"})");
                        return;
                    }
                    if (request["auth"] != rules_.secret) {
                        say(R"({"error":"auth failed"})");
                        return;
                    }
                    authenticated = true;
                    say(R"({"auth":"ok"})");
                    continue;
                }
                say(request.contains("get") ? R"({"in":{"gain":-30.0}})" : R"({"error":"unknown command"})");
            }
        }
    }

    const Rules rules_;
    int listenFd_ = -1;
    uint32_t port_ = 0;
    std::atomic<bool> running_{true};
    std::atomic<int> connections_{0};
    std::mutex mutex_;
    std::vector<std::string> lines_;
    std::thread thread_;
};

TEST(TcpControlChannel, AuthenticatesEveryNewConnectionAndOutlivesTheIdleClose) {
    GuardedLineServer server({"s3cret", false, 150ms});
    test::LogCapture log;
    TcpControlChannel channel("127.0.0.1", server.port(), log.logger(), fastTimeouts(), "s3cret");
    EXPECT_EQ(channel.request(R"({"get":null})"), R"({"in":{"gain":-30.0}})");
    // The server drops the silent connection; the next request goes out on a new one.
    std::this_thread::sleep_for(400ms);
    EXPECT_EQ(channel.request(R"({"get":null})"), R"({"in":{"gain":-30.0}})");
    EXPECT_TRUE(channel.connected());
    EXPECT_EQ(server.connections(), 2);
    std::vector<std::string> expected{R"({"auth":"s3cret"})", R"({"get":null})", R"({"auth":"s3cret"})",
                                      R"({"get":null})"};
    EXPECT_EQ(server.lines(), expected);
    EXPECT_EQ(log.all().find("s3cret"), std::string::npos);
    // Errors about the request itself are replies, not refusals.
    EXPECT_EQ(channel.request(R"({"nonsense":1})"), R"({"error":"unknown command"})");
}

TEST(TcpControlChannel, RefusalsOfThePortAreNoReplies) {
    struct Case {
        GuardedLineServer::Rules rules;
        std::string secret;
        std::string logged;
    };
    const Case cases[] = {{{"right", false, 0ms}, "", "auth required"},
                          {{"right", false, 0ms}, "wrong", "auth failed"},
                          {{"", true, 0ms}, "", "too many clients"},
                          {{"", true, 0ms}, "any", "too many clients"}};
    for (const Case& c : cases) {
        GuardedLineServer server(c.rules);
        test::LogCapture log;
        TcpControlChannel channel("127.0.0.1", server.port(), log.logger(), fastTimeouts(), c.secret);
        EXPECT_FALSE(channel.request(R"({"get":null})")) << c.logged;
        EXPECT_FALSE(channel.connected()) << c.logged;
        std::this_thread::sleep_for(60ms);
        EXPECT_FALSE(channel.request(R"({"get":null})")) << c.logged;
        EXPECT_TRUE(log.contains(kWebWarn, c.logged)) << log.all();
        EXPECT_EQ(log.all().find("wrong"), std::string::npos);
    }
}

TEST(FunctionControlChannel, CallsTheHandlerAndSurvivesItsExceptions) {
    FunctionControlChannel channel([](const std::string& line) -> std::string {
        if (line == "throw") {
            throw std::runtime_error("x");
        }
        return "reply:" + line;
    });
    EXPECT_EQ(channel.request("a"), "reply:a");
    EXPECT_FALSE(channel.request("throw"));
    channel.shutdown();
    EXPECT_FALSE(channel.request("a"));
    EXPECT_FALSE(channel.connected());
}

}  // namespace
}  // namespace zephrane::web
