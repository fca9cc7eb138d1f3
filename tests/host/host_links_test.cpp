// zephrane-filter keeping the links named by LINK_INPUT and LINK_OUTPUT, in a graph of
// its own daemon with our test clients as peers. No test links the host with pw-link;
// pw-link only lists the links and removes one.
#include <gtest/gtest.h>
#include <signal.h>

#include <time.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "clean_exit.h"
#include "pipewire_harness.h"

namespace zephrane::testing {
namespace {

using namespace std::chrono_literals;

const std::string HOST = "zt-host";

struct Link {
    uint32_t id;
    std::string output;
    std::string input;
};

size_t countLinesContaining(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (const std::string& line : splitLines(text)) {
        n += line.find(piece) != std::string::npos ? 1 : 0;
    }
    return n;
}

// The wall-clock times of the host's log lines that contain `piece`. The host stamps its
// lines in local time to the millisecond; comparing with them rather than with what
// pw-link shows keeps the tools' own start-up time on a loaded machine out of the count.
std::vector<std::chrono::system_clock::time_point> logTimes(const std::string& text,
                                                            const std::string& piece) {
    std::vector<std::chrono::system_clock::time_point> times;
    for (const std::string& line : splitLines(text)) {
        if (line.find(piece) == std::string::npos || !logLineBody(line)) {
            continue;
        }
        std::tm fields{};
        fields.tm_isdst = -1;
        if (strptime(line.c_str(), "%Y-%m-%d %H:%M:%S", &fields) == nullptr) {
            continue;
        }
        auto seconds = std::chrono::system_clock::from_time_t(std::mktime(&fields));
        times.push_back(seconds + std::chrono::milliseconds(std::stoi(line.substr(20, 3))));
    }
    return times;
}

// The host logged the link made between `notBefore` and `deadline` (the log has whole
// milliseconds, so a millisecond of slack).
void expectLinkedBetween(const std::string& log, const std::string& linkLine,
                         std::chrono::system_clock::time_point notBefore,
                         std::chrono::system_clock::time_point deadline) {
    bool found = false;
    for (auto at : logTimes(log, linkLine)) {
        found = found || (at + 1ms >= notBefore && at <= deadline);
    }
    EXPECT_TRUE(found) << linkLine << " not in time\n" << log;
}

class HostLinks : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!daemon.up()) {
            GTEST_SKIP() << "no PipeWire daemon could be started";
        }
    }

    std::unique_ptr<ChildProcess> startHost(const std::string& linkInput, const std::string& linkOutput) {
        Environment environment = doubleEnvironment(ZEPHRANE_DOUBLE_DIR);
        environment.merge(daemon.environment());
        environment["ZDOUBLE_GAIN"] = "0.5";
        environment["ZDOUBLE_POSSIBLE_SIZES"] = "128";
        environment["TSAN_OPTIONS"] += ":suppressions=" ZEPHRANE_TSAN_SUPPRESSIONS;
        environment["LINK_INPUT"] = linkInput;
        environment["LINK_OUTPUT"] = linkOutput;
        return std::make_unique<ChildProcess>(ZEPHRANE_FILTER_PATH,
                                              std::vector<std::string>{"-v", "-C", HOST}, environment);
    }

    // A client playing the test signal and recording what comes back for `seconds`.
    std::unique_ptr<ChildProcess> startClient(const std::string& name, double seconds) {
        Environment environment = daemon.environment();
        const char* tsan = std::getenv("TSAN_OPTIONS");
        environment["TSAN_OPTIONS"] =
            std::string(tsan != nullptr ? tsan : "") + ":suppressions=" ZEPHRANE_TSAN_SUPPRESSIONS;
        return std::make_unique<ChildProcess>(
            ZEPHRANE_TEST_CLIENT_PATH,
            std::vector<std::string>{"--name", name, "--latency", "256/48000", "--seconds",
                                     std::to_string(seconds), "--record", files.file(name + ".raw")},
            environment);
    }

    void waitForPorts(const std::vector<std::string>& ports) {
        ASSERT_TRUE(eventually(
            [&] {
                std::string listed = daemon.tool("pw-link", {"-o", "-i"}).out;
                return std::all_of(ports.begin(), ports.end(), [&](const std::string& port) {
                    return listed.find(port + "\n") != std::string::npos;
                });
            },
            20s))
            << "ports did not appear";
    }

    // Every link in the graph, as pw-link lists them: a port line "  id node:port", then
    // its links, "  link-id   |->   id node:port" for those it feeds.
    std::vector<Link> links() {
        std::vector<Link> found;
        std::string current;
        for (const std::string& line : splitLines(daemon.tool("pw-link", {"-l", "-I"}).out)) {
            std::istringstream fields(line);
            uint32_t id = 0;
            std::string next;
            if (!(fields >> id >> std::ws) || !std::getline(fields, next)) {
                continue;
            }
            if (next.rfind("|->", 0) == 0) {
                std::istringstream peer(next.substr(3));
                uint32_t peerId = 0;
                std::string name;
                if (peer >> peerId >> std::ws && std::getline(peer, name)) {
                    found.push_back({id, current, name});
                }
            } else if (next.rfind("|<-", 0) != 0) {
                current = next;
            }
        }
        return found;
    }
    std::multiset<std::pair<std::string, std::string>> linkPairs() {
        std::multiset<std::pair<std::string, std::string>> pairs;
        for (const Link& link : links()) {
            pairs.insert({link.output, link.input});
        }
        return pairs;
    }
    std::optional<uint32_t> linkId(const std::string& output, const std::string& input) {
        for (const Link& link : links()) {
            if (link.output == output && link.input == input) {
                return link.id;
            }
        }
        return std::nullopt;
    }
    bool linkedAround(const std::string& client) {
        return linkPairs() == std::multiset<std::pair<std::string, std::string>>{
                                  {client + ":out", HOST + ":FL"}, {HOST + ":FL", client + ":in"}};
    }

    // The played signal comes back halved, one cycle through the graph and one engine
    // chunk later, in most blocks of the recording's second half.
    void expectHostResultIn(const std::string& client) {
        Recording recording = loadRecording(files.file(client + ".raw"));
        ASSERT_GT(recording.samples.size(), 24000u) << client;
        DelayEstimate delay = dominantDelay(recording.samples, 0.5f, recording.samples.size() / 2, 256);
        ASSERT_TRUE(delay.delay) << client << ": no engine result in the recording";
        EXPECT_EQ(*delay.delay, 256u + 128u) << client;
        EXPECT_GE(delay.share, 0.5) << client;
    }

    PrivateDaemon daemon;
    TempDir files;
};

TEST_F(HostLinks, AudioPassesOnTheConfiguredLinksAndARemovedLinkComesBackWithinASecond) {
    auto host = startHost("zt-client:out", "zt-client:in");
    auto client = startClient("zt-client", 4);
    waitForPorts({HOST + ":FL", "zt-client:out"});
    ASSERT_TRUE(eventually([&] { return linkedAround("zt-client"); }, 10s))
        << daemon.tool("pw-link", {"-l"}).out;

    std::optional<uint32_t> before = linkId("zt-client:out", HOST + ":FL");
    ASSERT_TRUE(before);
    // pw-link removes the link while it runs; the host may make it again before pw-link
    // has returned.
    auto removing = std::chrono::system_clock::now();
    ASSERT_EQ(daemon.tool("pw-link", {"-d", "zt-client:out", HOST + ":FL"}).status, 0);
    auto removed = std::chrono::system_clock::now();
    EXPECT_TRUE(eventually(
        [&] {
            std::optional<uint32_t> now = linkId("zt-client:out", HOST + ":FL");
            return now && *now != *before;
        },
        10s))
        << "not re-created";
    EXPECT_TRUE(linkedAround("zt-client")) << "a link twice, or one missing";

    EXPECT_EQ(client->finish(20s).status, 0);
    expectHostResultIn("zt-client");
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0) << result.err;
    expectLinkedBetween(result.err, "INFO  Linked zt-client:out to zt-host:FL", removing, removed + 1s);
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Linked zt-client:out to zt-host:FL"), 2u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Linked zt-host:FL to zt-client:in"), 1u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "WARN") - countLinesContaining(result.err, "WARN  Alarm "), 0u)
        << result.err;
}

TEST_F(HostLinks, ARestartedPeerIsLinkedAgainWithinASecondAndTheAudioFlows) {
    auto host = startHost("zt-client:out", "zt-client:in");
    auto first = startClient("zt-client", 30);
    waitForPorts({HOST + ":FL", "zt-client:out"});
    ASSERT_TRUE(eventually([&] { return linkedAround("zt-client"); }, 10s));
    first->sendSignal(SIGTERM);
    EXPECT_TRUE(exitedCleanly(first->finish(10s)));
    ASSERT_TRUE(eventually([&] { return links().empty(); }, 10s)) << "links outlived the peer";

    auto started = std::chrono::system_clock::now();
    auto second = startClient("zt-client", 4);
    waitForPorts({"zt-client:out", "zt-client:in"});
    // The ports were there by now at the latest.
    auto seen = std::chrono::system_clock::now();
    EXPECT_TRUE(eventually([&] { return linkedAround("zt-client"); }, 10s)) << "not linked again";
    EXPECT_TRUE(exitedCleanly(second->finish(20s)));
    expectHostResultIn("zt-client");

    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Linked "), 4u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "WARN"), 0u) << "the peer was back within 10 s\n"
                                                            << result.err;
    expectLinkedBetween(result.err, "INFO  Linked zt-host:FL to zt-client:in", started, seen + 1s);
    expectLinkedBetween(result.err, "INFO  Linked zt-client:out to zt-host:FL", started, seen + 1s);
}

TEST_F(HostLinks, ARestartedHostTakesItsLinksAlongAndMakesThemAgain) {
    auto client = startClient("zt-client", 30);
    auto host = startHost("zt-client:out", "zt-client:in");
    waitForPorts({HOST + ":FL", "zt-client:out"});
    ASSERT_TRUE(eventually([&] { return linkedAround("zt-client"); }, 10s));
    host->sendSignal(SIGTERM);
    EXPECT_TRUE(exitedCleanly(host->finish(10s)));
    EXPECT_TRUE(eventually([&] { return links().empty(); }, 10s)) << "links outlived the host";

    host = startHost("zt-client:out", "zt-client:in");
    waitForPorts({HOST + ":FL"});
    EXPECT_TRUE(eventually([&] { return linkedAround("zt-client"); }, 10s)) << "not linked again";
    host->sendSignal(SIGTERM);
    EXPECT_TRUE(exitedCleanly(host->finish(10s)));
}

TEST_F(HostLinks, ALostDaemonEndsTheHostWithStatus255WhileItKeepsLinks) {
    auto client = startClient("zt-client", 30);
    auto host = startHost("zt-client:out", "zt-client:in");
    waitForPorts({HOST + ":FL", "zt-client:out"});
    ASSERT_TRUE(eventually([&] { return linkedAround("zt-client"); }, 10s));
    daemon.kill(SIGKILL);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 255) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "ERROR Lost the connection to PipeWire"), 1u) << result.err;
}

TEST_F(HostLinks, TwoOutputEntriesGiveTwoLinksAndANodeNameAloneFindsItsPort) {
    auto host = startHost("", "zt-a:in, zt-b");
    auto a = startClient("zt-a", 30);
    auto b = startClient("zt-b", 30);
    waitForPorts({HOST + ":FL", "zt-a:in", "zt-b:in"});
    EXPECT_TRUE(eventually(
        [&] {
            return linkPairs() == std::multiset<std::pair<std::string, std::string>>{
                                      {HOST + ":FL", "zt-a:in"}, {HOST + ":FL", "zt-b:in"}};
        },
        10s))
        << daemon.tool("pw-link", {"-l"}).out;
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Linked zt-host:FL to zt-a:in"), 1u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Linked zt-host:FL to zt-b:in"), 1u) << result.err;
}

TEST_F(HostLinks, ANameThatNeverAppearsGivesOneWarningOverFifteenSecondsAndNoLink) {
    auto host = startHost("zt-nowhere:out", "");
    waitForPorts({HOST + ":FL"});
    std::this_thread::sleep_for(15s);
    EXPECT_TRUE(links().empty());
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(
        countLinesContaining(result.err, "WARN  LINK_INPUT port \"zt-nowhere:out\" is not in the graph"), 1u)
        << result.err;
    // The host's audio alarms (silence, with nothing linked) have WARN lines of their own.
    EXPECT_EQ(countLinesContaining(result.err, "WARN") - countLinesContaining(result.err, "WARN  Alarm "), 1u)
        << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "Linked"), 0u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "WARN  Alarm unlinked raised: 1 configured links missing"), 1u)
        << result.err;
}

}  // namespace
}  // namespace zephrane::testing
