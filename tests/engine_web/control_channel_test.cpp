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
