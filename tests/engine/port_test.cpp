// The JSON port over real TCP on 127.0.0.1, through the C interface: start and stop,
// framing, many clients, bad input, bind failures and the hand-over between the old and
// the new process of a chunk-size change.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "test_support.h"
#include "zephrane_engine.h"

namespace {

using enginetest::LineClient;
using enginetest::LogCapture;
using enginetest::ScratchDir;
using nlohmann::json;

// A process with its update loop on a thread of its own, torn down as the host does.
class RunningProcess {
  public:
    RunningProcess(const std::string& dir, int port, uint32_t frames = 48) {
        ZephraneParametersHandle parameters = zephrane_NewParameters();
        process_ = zephrane_InitProcess3(dir.c_str(), parameters, frames);
        zephrane_FreeParameters(parameters);
        if (process_ != nullptr) {
            thread_ = std::thread([this, port] { result_ = zephrane_StartUpdateThread(process_, port); });
            ready_ = zephrane_WaitUpdateThreadReady(process_, 5000);
        }
    }
    ~RunningProcess() { exit(); }
    void exit() {
        if (process_ != nullptr) {
            zephrane_StopUpdateThread(process_);
            thread_.join();
            zephrane_ExitProcess(process_);
            process_ = nullptr;
        }
    }
    ZephraneProcessHandle handle() const { return process_; }
    int ready() const { return ready_; }
    int result() const { return result_; }

  private:
    ZephraneProcessHandle process_ = nullptr;
    std::thread thread_;
    int ready_ = -100;
    std::atomic<int> result_{-100};
};

json ask(LineClient& client, const std::string& request) {
    std::string reply = client.request(request);
    EXPECT_TRUE(json::accept(reply)) << request << " -> " << reply;
    return json::accept(reply) ? json::parse(reply) : json();
}

TEST(JsonPort, ServesRequestsUntilStopped) {
    ScratchDir dir;
    LogCapture log;
    int port = enginetest::freePort();
    auto process = std::make_unique<RunningProcess>(dir.path(), port);
    ASSERT_EQ(process->ready(), 0);
    EXPECT_TRUE(log.contains(4, "JSON port " + std::to_string(port) + " listening"));
    LineClient client(port);
    ASSERT_TRUE(client.connected());
    EXPECT_EQ(ask(client, R"({"get":{"info":{"chunk":null}}})")["info"]["chunk"], 48);
    EXPECT_EQ(ask(client, R"({"set":{"in":{"gain":-30}}})")["in"]["gain"], -30.0);
    // The change is written down once, with the client's address.
    int auditLines = 0;
    for (const auto& line : log.lines()) {
        bool audit = line.text.find("set in.gain 0 -> -30") != std::string::npos;
        auditLines += audit;
        EXPECT_TRUE(!audit || (line.severity == 4 && line.text.rfind("JSON client ", 0) == 0 &&
                               line.text.find("127.0.0.1") != std::string::npos))
            << line.text;
    }
    EXPECT_EQ(auditLines, 1);
    process->exit();
    EXPECT_EQ(process->result(), 0);
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_FALSE(LineClient(port).connected());
}

TEST(JsonPort, LoopSavesTheStateSoonAfterAChange) {
    ScratchDir dir;
    int port = enginetest::freePort();
    RunningProcess process(dir.path(), port);
    LineClient client(port);
    ask(client, R"({"set":{"limiter":{"release":333}}})");
    // Saved by the loop while the process runs, not only at exit.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    json saved;
    while (std::chrono::steady_clock::now() < deadline) {
        std::string text = enginetest::readFile(dir.file("state.json"));
        if (json::accept(text) && (saved = json::parse(text))["limiter"]["release"] == 333.0) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(saved["limiter"]["release"], 333.0);
}

TEST(JsonPort, PortZeroRunsTheLoopWithoutListener) {
    ScratchDir dir;
    RunningProcess process(dir.path(), 0);
    EXPECT_EQ(process.ready(), 0);
}

TEST(JsonPort, StopBeforeStartReturnsAtOnce) {
    ScratchDir dir;
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 12);
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(zephrane_StopUpdateThread(process), 0);
    EXPECT_EQ(zephrane_StartUpdateThread(process, 0), 0);
    EXPECT_LT(zephrane_WaitUpdateThreadReady(process, 100), 0);
    zephrane_ExitProcess(process);
}

TEST(JsonPort, WaitTimesOutWhenNeverStarted) {
    ScratchDir dir;
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 12);
    EXPECT_EQ(zephrane_WaitUpdateThreadReady(process, 50), -1);
    zephrane_ExitProcess(process);
}

TEST(JsonPort, BusyPortIsReportedWithPortAndReason) {
    ScratchDir dir;
    LogCapture log;
    int blocker = ::socket(AF_INET6, SOCK_STREAM, 0);
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    address.sin6_addr = in6addr_any;
    ASSERT_EQ(::bind(blocker, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(blocker, 1), 0);
    socklen_t length = sizeof address;
    ::getsockname(blocker, reinterpret_cast<sockaddr*>(&address), &length);
    int port = ntohs(address.sin6_port);

    RunningProcess process(dir.path(), port);
    EXPECT_LT(process.ready(), 0);
    EXPECT_TRUE(log.contains(2, std::to_string(port)));
    EXPECT_TRUE(log.contains(2, "Address already in use"));
    process.exit();
    EXPECT_LT(process.result(), 0);
    ::close(blocker);
}

TEST(JsonPort, LineFramingAsTelnetAndSlowWritersProduceIt) {
    ScratchDir dir;
    int port = enginetest::freePort();
    RunningProcess process(dir.path(), port);
    LineClient client(port);
    client.send("{\"get\":{\"in\":null}}\r\n");  // CRLF
    EXPECT_EQ(client.readLine(), R"({"in":{"gain":0.0}})");
    client.send("{\"get\":{\"ou");  // split across writes
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    client.send("t\":null}}\n");
    EXPECT_EQ(client.readLine(), R"({"out":{"gain":0.0}})");
    client.send("\r\n\n{\"get\":{\"in\":null}}\n{\"get\":{\"out\":null}}\n");  // blank lines, two at once
    EXPECT_EQ(client.readLine(), R"({"in":{"gain":0.0}})");
    EXPECT_EQ(client.readLine(), R"({"out":{"gain":0.0}})");
}

TEST(JsonPort, BadRequestsGetAnErrorAndTheConnectionStays) {
    ScratchDir dir;
    int port = enginetest::freePort();
    RunningProcess process(dir.path(), port);
    LineClient client(port);
    EXPECT_TRUE(ask(client, "{not json").contains("error"));
    EXPECT_TRUE(ask(client, "{\"get\":{\"\xff\":null}}").contains("error"));
    EXPECT_TRUE(ask(client, R"({"set":{"in":{"gain":-200}}})").contains("error"));
    EXPECT_EQ(ask(client, R"({"get":{"in":null}})")["in"]["gain"], 0.0);
}

TEST(JsonPort, OverlongLineGetsAnErrorAndIsClosed) {
    ScratchDir dir;
    int port = enginetest::freePort();
    RunningProcess process(dir.path(), port);
    LineClient client(port);
    client.send("{\"get\":\"" + std::string(70 * 1024, 'x') + "\"}\n");
    json reply = json::parse(client.readLine());
    EXPECT_NE(reply.value("error", "").find("longer than 65536"), std::string::npos);
    EXPECT_TRUE(client.closedByPeer());
    LineClient next(port);  // the port itself carries on
    EXPECT_EQ(ask(next, R"({"get":{"in":null}})")["in"]["gain"], 0.0);
}

TEST(JsonPort, ManyClientsAtOnce) {
    ScratchDir dir;
    int port = enginetest::freePort();
    RunningProcess process(dir.path(), port);
    std::vector<std::unique_ptr<LineClient>> clients;
    for (int i = 0; i < 40; ++i) {
        // Eight at most from one address.
        std::string source = "127.0.0." + std::to_string(2 + i / 8);
        clients.push_back(std::make_unique<LineClient>(port, source.c_str()));
        ASSERT_TRUE(clients.back()->connected());
    }
    for (int i = 0; i < 40; ++i) {
        clients[i]->send("{\"set\":{\"out\":{\"gain\":" + std::to_string(-i) + "}}}\n");
    }
    for (int i = 0; i < 40; ++i) {
        EXPECT_EQ(json::parse(clients[i]->readLine())["out"]["gain"], static_cast<double>(-i));
    }
}

TEST(JsonPort, ChangeIsPerConnection) {
    ScratchDir dir;
    int port = enginetest::freePort();
    RunningProcess process(dir.path(), port);
    LineClient a(port), b(port);
    ask(a, R"({"get":null})");
    ask(b, R"({"set":{"limiter":{"ceiling":-6}}})");
    json changed = ask(a, R"({"change":{"limiter":null,"in":null}})");
    EXPECT_EQ(changed, json::parse(R"({"limiter":{"ceiling":-6.0}})"));
}

TEST(ChunkChange, NewProcessTakesOverSettingsPortAndClients) {
    ScratchDir dir;
    int port = enginetest::freePort();
    auto a = std::make_unique<RunningProcess>(dir.path(), port, 128);
    ASSERT_EQ(a->ready(), 0);
    LineClient early(port);
    ASSERT_EQ(ask(early, R"({"set":{"in":{"gain":-12}}})")["in"]["gain"], -12.0);

    // The host makes the new process while the old one still runs on the same port.
    auto b = std::make_unique<RunningProcess>(dir.path(), port, 256);
    ASSERT_EQ(b->ready(), 0);
    // Clients keep connecting while the old process goes away: none may be lost.
    std::atomic<bool> stop{false};
    std::atomic<int> answered{0}, lost{0};
    std::thread connector([&] {
        while (!stop) {
            LineClient client(port);
            std::string reply = client.request(R"({"get":{"in":null}})");
            (reply == R"({"in":{"gain":-12.0}})" ? answered : lost)++;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    a->exit();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    stop = true;
    connector.join();
    EXPECT_GT(answered.load(), 0);
    EXPECT_EQ(lost.load(), 0);

    // The settings live on, and so does the early connection, now served by b.
    LineClient late(port);
    ASSERT_TRUE(late.connected());
    EXPECT_EQ(ask(late, R"({"get":{"in":null,"info":{"chunk":null}}})"),
              json::parse(R"({"in":{"gain":-12.0},"info":{"chunk":256}})"));
    EXPECT_EQ(ask(early, R"({"get":{"info":{"chunk":null}}})")["info"]["chunk"], 256);
    b->exit();
    EXPECT_EQ(json::parse(enginetest::readFile(dir.file("state.json")))["in"]["gain"], -12.0);
}

TEST(ChunkChange, ChangeMadeJustBeforeTheSwitchIsNotLost) {
    ScratchDir dir;
    int port = enginetest::freePort();
    auto a = std::make_unique<RunningProcess>(dir.path(), port, 128);
    LineClient client(port);
    auto b = std::make_unique<RunningProcess>(dir.path(), port, 64);
    // Sent after b exists, on a's connection: it must still be in force in b.
    ask(client, R"({"set":{"out":{"gain":-5}}})");
    a->exit();
    LineClient late(port);
    EXPECT_EQ(ask(late, R"({"get":{"out":null}})")["out"]["gain"], -5.0);
}

}  // namespace
