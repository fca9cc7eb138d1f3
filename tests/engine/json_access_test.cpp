// Who may use the JSON port: the auth line, the bind address, the idle close and the caps
// per client address, on an update loop in this process over real TCP on loopback.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "control_protocol.h"
#include "process_core.h"
#include "session.h"
#include "test_support.h"
#include "update_loop.h"

namespace zephrane::engine {
namespace {

using enginetest::LineClient;
using enginetest::ScratchDir;
using nlohmann::json;
using namespace std::chrono_literals;

class JsonAccess : public ::testing::Test {
  protected:
    void start(JsonPortSettings settings) {
        StoreOptions options;
        options.dir = dir.path();
        bool joined = false;
        core = std::make_shared<ProcessCore>(Session::open(options, {}, joined), 48);
        loop = std::make_unique<UpdateLoop>(core, std::move(settings));
        thread = std::thread([this] { loop->run(static_cast<uint32_t>(port)); });
        ASSERT_EQ(loop->waitReady(5000), 0);
    }
    void TearDown() override {
        if (loop) {
            loop->stop();
            thread.join();
        }
    }
    double gain() {
        ClientView view(core);
        return json::parse(handleControlRequest(view, R"({"get":{"in":{"gain":null}}})"))["in"]["gain"];
    }

    ScratchDir dir;
    int port = enginetest::freePort();
    std::shared_ptr<ProcessCore> core;
    std::unique_ptr<UpdateLoop> loop;
    std::thread thread;
};

TEST_F(JsonAccess, WithASecretNothingIsServedBeforeTheAuthLine) {
    JsonPortSettings settings;
    settings.secret = "s3cret";
    start(settings);
    {
        LineClient client(port);
        EXPECT_EQ(client.request(R"({"set":{"in":{"gain":-20}}})"), R"({"error":"auth required"})");
        EXPECT_TRUE(client.closedByPeer());
    }
    {
        LineClient client(port);
        EXPECT_EQ(client.request(R"({"auth":"wrong"})"), R"({"error":"auth failed"})");
        EXPECT_TRUE(client.closedByPeer());
    }
    EXPECT_EQ(gain(), 0.0);
    // A failure slows the next attempt from the same address down; another address is
    // not held up by it.
    LineClient other(port, "127.0.0.2");
    EXPECT_EQ(other.request(R"({"auth":"s3cret"})"), R"({"auth":"ok"})");
    EXPECT_EQ(json::parse(other.request(R"({"set":{"in":{"gain":-20}}})"))["in"]["gain"], -20.0);
    EXPECT_EQ(gain(), -20.0);
}

TEST_F(JsonAccess, AClientThatDoesNotAuthenticateOrGoesSilentIsClosed) {
    JsonPortSettings settings;
    settings.secret = "s3cret";
    settings.authTimeout = 300ms;
    settings.idleTimeout = 600ms;
    start(settings);
    LineClient mute(port);
    EXPECT_TRUE(mute.closedByPeer(3000));
    LineClient idle(port, "127.0.0.3");
    ASSERT_EQ(idle.request(R"({"auth":"s3cret"})"), R"({"auth":"ok"})");
    auto before = std::chrono::steady_clock::now();
    EXPECT_TRUE(idle.closedByPeer(3000));
    EXPECT_GE(std::chrono::steady_clock::now() - before, 400ms);
}

TEST_F(JsonAccess, TheBindAddressLimitsWhereThePortListens) {
    JsonPortSettings settings;
    settings.bindAddress = "127.0.0.5";
    start(settings);
    EXPECT_FALSE(LineClient(port).connected());  // 127.0.0.1: nobody listens there
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, "127.0.0.5", &address.sin_addr);
    EXPECT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ::close(fd);
}

TEST_F(JsonAccess, IdleClientsFromOtherAddressesDoNotLockTheOperatorOut) {
    JsonPortSettings settings;
    settings.idleTimeout = 1500ms;
    start(settings);
    // 64 silent clients, eight per address: the port's total.
    std::vector<std::unique_ptr<LineClient>> idle;
    for (int i = 0; i < 64; ++i) {
        std::string source = "127.0.0." + std::to_string(2 + i / 8);
        idle.push_back(std::make_unique<LineClient>(port, source.c_str()));
    }
    // A ninth from one address is refused at once.
    LineClient ninth(port, "127.0.0.2");
    EXPECT_EQ(ninth.readLine(2000), R"({"error":"too many clients"})");
    // The silent ones are closed, then the operator gets a reply within 2 s.
    std::this_thread::sleep_for(1500ms);
    auto deadline = std::chrono::steady_clock::now() + 2s;
    std::string reply;
    while (std::chrono::steady_clock::now() < deadline) {
        LineClient operatorClient(port);
        reply = operatorClient.request(R"({"get":{"in":null}})");
        if (reply.rfind(R"({"in")", 0) == 0) {
            break;
        }
        std::this_thread::sleep_for(100ms);
    }
    EXPECT_EQ(reply, R"({"in":{"gain":0.0}})");
}

}  // namespace
}  // namespace zephrane::engine
