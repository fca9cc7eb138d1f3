// zephrane-filter's metrics endpoint in a real PipeWire graph: its pages over HTTP, checked
// by promtool and scraped by a Prometheus server of the test's own (loopback only).
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "pipewire_harness.h"

namespace zephrane::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct HttpReply {
    int status = 0;
    std::string body;
};

// One GET on 127.0.0.1 with Connection: close, bounded to two seconds; status 0 when
// nothing came back.
HttpReply httpGet(uint16_t port, const std::string& target) {
    HttpReply reply;
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_port = htons(port);
    inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
        close(fd);
        return reply;
    }
    std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string text;
    auto deadline = Clock::now() + 2s;
    while (Clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 50) <= 0) {
            continue;
        }
        char chunk[4096];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            break;
        }
        text.append(chunk, size_t(n));
    }
    close(fd);
    size_t headEnd = text.find("\r\n\r\n");
    if (text.rfind("HTTP/1.1 ", 0) != 0 || headEnd == std::string::npos) {
        return reply;
    }
    reply.status = std::stoi(text.substr(9, 3));
    reply.body = text.substr(headEnd + 4);
    return reply;
}

// A port nobody listens on right now.
uint16_t freePort() {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    close(fd);
    return ntohs(address.sin_port);
}

class MetricsInGraph : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!daemon.up()) {
            GTEST_SKIP() << "no PipeWire daemon could be started";
        }
        Environment environment = doubleEnvironment(ZEPHRANE_DOUBLE_DIR);
        environment.merge(daemon.environment());
        environment["TSAN_OPTIONS"] += ":suppressions=" ZEPHRANE_TSAN_SUPPRESSIONS;
        environment["METRICS_PORT"] = std::to_string(metricsPort);
        environment["METRICS_BIND"] = "127.0.0.1";
        host = std::make_unique<ChildProcess>(ZEPHRANE_FILTER_PATH,
                                              std::vector<std::string>{"-v", "-C", "zt-host"}, environment);
        ASSERT_TRUE(host->waitUntil([&] { return httpGet(metricsPort, "/health").status != 0; }, 10s))
            << "the metrics endpoint did not answer";
    }

    void TearDown() override {
        if (host) {
            host->sendSignal(SIGTERM);
            ChildResult result = host->finish(10s);
            EXPECT_EQ(result.status, 0) << result.err;
            EXPECT_NE(
                result.err.find("Metrics endpoint listening on 127.0.0.1:" + std::to_string(metricsPort)),
                std::string::npos)
                << result.err;
        }
    }

    PrivateDaemon daemon;
    TempDir files;
    uint16_t metricsPort = freePort();
    std::unique_ptr<ChildProcess> host;
};

TEST_F(MetricsInGraph, ServesAMetricsPagePromtoolAcceptsAndAHealthPage) {
    HttpReply health = httpGet(metricsPort, "/health");
    EXPECT_EQ(health.status, 200);
    nlohmann::json json = nlohmann::json::parse(health.body);
    EXPECT_TRUE(json.contains("status"));
    EXPECT_TRUE(json["alarms"].is_array());
    EXPECT_EQ(httpGet(metricsPort, "/nothing").status, 404);

    HttpReply metrics = httpGet(metricsPort, "/metrics");
    ASSERT_EQ(metrics.status, 200);
    EXPECT_NE(metrics.body.find("zephrane_output_peak_dbfs"), std::string::npos) << metrics.body;
    std::string promtool = findProgram("promtool");
    if (promtool.empty()) {
        GTEST_SKIP() << "promtool is not installed";
    }
    std::ofstream(files.file("metrics.txt")) << metrics.body;
    ChildResult check =
        runChild("/bin/sh", {"-c", promtool + " check metrics < " + files.file("metrics.txt")},
                 {{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
}

TEST_F(MetricsInGraph, APrometheusServerScrapesTheOutputPeak) {
    std::string prometheus = findProgram("prometheus");
    if (prometheus.empty()) {
        GTEST_SKIP() << "prometheus is not installed";
    }
    uint16_t webPort = freePort();
    std::ofstream(files.file("prometheus.yml")) << "global:\n"
                                                   "  scrape_interval: 1s\n"
                                                   "  scrape_timeout: 1s\n"
                                                   "scrape_configs:\n"
                                                   "  - job_name: zephrane\n"
                                                   "    static_configs:\n"
                                                   "      - targets: ['127.0.0.1:"
                                                << metricsPort << "']\n";
    ChildProcess server(
        prometheus,
        {"--config.file=" + files.file("prometheus.yml"), "--storage.tsdb.path=" + files.file("tsdb"),
         "--web.listen-address=127.0.0.1:" + std::to_string(webPort)},
        {{"PATH", "/usr/bin:/bin"}});

    // Two scrapes make a series with two samples; the query sees the latest.
    std::string query = "/api/v1/query?query=count_over_time(zephrane_output_peak_dbfs%5B1m%5D)";
    nlohmann::json answer;
    bool scraped = server.waitUntil(
        [&] {
            host->waitUntil([] { return false; }, 100ms);  // keeps the host's log flowing
            HttpReply reply = httpGet(webPort, query);
            if (reply.status != 200) {
                return false;
            }
            answer = nlohmann::json::parse(reply.body, nullptr, false);
            if (answer.is_discarded() || answer["data"]["result"].empty()) {
                return false;
            }
            return std::stod(answer["data"]["result"][0]["value"][1].get<std::string>()) >= 2;
        },
        25s);
    EXPECT_TRUE(scraped) << answer.dump();

    HttpReply peak = httpGet(webPort, "/api/v1/query?query=zephrane_output_peak_dbfs");
    nlohmann::json value = nlohmann::json::parse(peak.body, nullptr, false);
    ASSERT_FALSE(value.is_discarded()) << peak.body;
    EXPECT_EQ(value["status"], "success");
    ASSERT_EQ(value["data"]["result"].size(), 1u) << peak.body;
    EXPECT_EQ(value["data"]["result"][0]["metric"]["job"], "zephrane");

    server.sendSignal(SIGTERM);
    ChildResult stopped = server.finish(10s);
    EXPECT_FALSE(stopped.timedOut);
}

}  // namespace
}  // namespace zephrane::testing
