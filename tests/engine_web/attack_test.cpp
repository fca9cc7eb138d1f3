// Hostile clients on loopback against a running web server: trickled TLS records and
// request heads, idle connections, event streams and a blank-line flood, each from
// addresses 127.0.0.2 and up. After each, a client from 127.0.0.1 gets the page and a
// control reply within 2 s. Bounded in count and time.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <thread>
#include <vector>

#include "test_support.h"
#include "web_server.h"

namespace zephrane::web {
namespace {

using namespace std::chrono_literals;
using test::Client;
using SteadyClock = std::chrono::steady_clock;

// How long the attackers may take to be cut, against the server's 1.5 s deadline: wide,
// since a sanitizer build on a loaded machine is slow to close hundreds of sockets.
constexpr auto kCutBound = 15s;

// A connection from 127.0.0.(2 + index / perAddress); -1 when it could not be made.
int connectFrom(uint32_t port, int index, int perAddress) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    std::string source = "127.0." + std::to_string(index / perAddress / 250) + "." +
                         std::to_string(2 + index / perAddress % 250);
    ::inet_pton(AF_INET, source.c_str(), &local.sin_addr);
    ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
    sockaddr_in remote{};
    remote.sin_family = AF_INET;
    remote.sin_port = htons(static_cast<uint16_t>(port));
    remote.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&remote), sizeof remote) != 0) {
        ::close(fd);
        return -1;
    }
    ::fcntl(fd, F_SETFL, O_NONBLOCK);
    return fd;
}

// True when the server closed (or reset) the connection.
bool closedByServer(int fd) {
    char buffer[4096];
    ssize_t n;
    while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0) {
    }
    return n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
}

class Attack : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        rlimit limit{};
        ::getrlimit(RLIMIT_NOFILE, &limit);
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, 8192);
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    void SetUp() override {
        dir = test::makeTempDir("zephrane-attack-test");
        WebServerConfig c;
        c.httpPort = http;
        c.httpsPort = https;
        c.channel = std::make_shared<FunctionControlChannel>(
            [](const std::string&) { return std::string(R"({"in":{"gain":0.0}})"); });
        c.tls.storageDirectory = dir.string();
        c.headerDeadline = 1500ms;
        c.log = log.logger();
        server = WebServer::start(std::move(c));
        ASSERT_EQ(server->status(), kStatusHttp | kStatusHttps);
    }
    void TearDown() override {
        for (int fd : attackers) {
            ::close(fd);
        }
        server->stop(2000ms);
        std::filesystem::remove_all(dir);
    }

    void attack(int count, int perAddress, uint32_t port) {
        for (int i = 0; i < count; ++i) {
            int fd = connectFrom(port, i, perAddress);
            if (fd >= 0) {
                attackers.push_back(fd);
            }
        }
    }
    void sendToAll(std::string_view bytes) {
        for (int fd : attackers) {
            [[maybe_unused]] ssize_t sent = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
    }
    size_t closedCount() {
        size_t closed = 0;
        for (int fd : attackers) {
            closed += closedByServer(fd) ? 1 : 0;
        }
        return closed;
    }

    // The operator, from 127.0.0.1: the page and a control reply, over HTTP and HTTPS.
    void expectServedWithinTwoSeconds() {
        auto deadline = SteadyClock::now() + 2s;
        bool served = false;
        while (!served && SteadyClock::now() < deadline) {
            Client plain(http), tls(https, true);
            served = plain.connected() && tls.connected() && plain.request("GET", "/").status == 200 &&
                     tls.request("POST", "/api/control", R"({"get":null})").status == 200;
            if (!served) {
                std::this_thread::sleep_for(50ms);
            }
        }
        EXPECT_TRUE(served);
    }

    uint32_t http = test::freePort(), https = test::freePort();
    std::filesystem::path dir;
    test::LogCapture log;
    std::shared_ptr<WebServer> server;
    std::vector<int> attackers;
};

TEST_F(Attack, TrickledTlsRecordsAreCutAtTheHandshakeDeadline) {
    attack(300, 12, https);
    // One byte every 250 ms, never done, until every socket is cut: a deadline that
    // restarted with each byte would never cut them. Generous bound for a loaded machine.
    auto start = SteadyClock::now();
    const char record[] = "\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03";
    for (size_t i = 0; SteadyClock::now() - start < kCutBound && closedCount() < attackers.size();
         i = (i + 1) % (sizeof record - 1)) {
        sendToAll(std::string_view(record + i, 1));
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(closedCount(), attackers.size());
    expectServedWithinTwoSeconds();
}

TEST_F(Attack, TrickledRequestHeadsAreCutAtTheirAbsoluteDeadline) {
    attack(300, 12, http);
    sendToAll("GET / HTTP/1.1\r\nX: ");
    auto start = SteadyClock::now();
    while (SteadyClock::now() - start < kCutBound && closedCount() < attackers.size()) {
        sendToAll("a");
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(closedCount(), attackers.size());
    expectServedWithinTwoSeconds();
}

TEST_F(Attack, AThousandIdleConnectionsAreRefusedOverTheCapsAndCutAtTheDeadline) {
    attack(1000, 16, http);
    auto start = SteadyClock::now();
    while (SteadyClock::now() - start < kCutBound && closedCount() < attackers.size()) {
        std::this_thread::sleep_for(250ms);
    }
    EXPECT_EQ(closedCount(), attackers.size());
    expectServedWithinTwoSeconds();
    // One warning per address, however many were refused.
    EXPECT_LE(log.count(kWebWarn), 1000u / 16 + 1);
}

TEST_F(Attack, EventStreamsHaveCapsOfTheirOwn) {
    attack(200, 4, http);
    sendToAll("GET /api/events HTTP/1.1\r\nHost: localhost\r\n\r\n");
    std::this_thread::sleep_for(500ms);
    // The operator is served while the streams are open.
    expectServedWithinTwoSeconds();
    size_t refused = 0;
    for (int fd : attackers) {
        char buffer[512];
        ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        refused +=
            n > 0 && std::string_view(buffer, static_cast<size_t>(n)).find(" 503 ") != std::string_view::npos;
    }
    EXPECT_EQ(refused, 200u - 32u);
}

TEST_F(Attack, ABlankLineFloodIsCutAfterTheHeadLimitAndCostsLittle) {
    attack(8, 1, http);
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    std::string blanks(4096, '\n');
    for (size_t i = 0; i < blanks.size(); i += 2) {
        blanks[i] = '\r';
    }
    size_t sentEach = 0;
    auto start = SteadyClock::now();
    while (SteadyClock::now() - start < 1s) {
        sendToAll(blanks);
        sentEach += blanks.size();
        if (closedCount() == attackers.size()) {
            break;
        }
        std::this_thread::sleep_for(10ms);
    }
    ::getrusage(RUSAGE_SELF, &after);
    auto cpu = [](const rusage& r) {
        return std::chrono::seconds(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
               std::chrono::microseconds(r.ru_utime.tv_usec + r.ru_stime.tv_usec);
    };
    EXPECT_EQ(closedCount(), attackers.size());
    EXPECT_LE(sentEach, 64u * 1024);
    // Server and clients together; the old parser spent seconds on this.
    EXPECT_LT(cpu(after) - cpu(before), 500ms);
    expectServedWithinTwoSeconds();
}

}  // namespace
}  // namespace zephrane::web
