#include "system_fixture.h"

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "../engine/test_support.h"

namespace zephrane::testing {

using namespace std::chrono_literals;

std::vector<double> blockLevels(const std::vector<float>& samples, size_t block) {
    std::vector<double> levels;
    for (size_t begin = 0; begin + block <= samples.size(); begin += block) {
        double sum = 0;
        for (size_t k = begin; k < begin + block; ++k) {
            sum += static_cast<double>(samples[k]) * samples[k];
        }
        levels.push_back(std::sqrt(sum / static_cast<double>(block)));
    }
    return levels;
}

double LevelChange::dB() const {
    return 20 * std::log10(after / before);
}

LevelChange levelChange(const std::vector<float>& samples, size_t block) {
    std::vector<double> levels = blockLevels(samples, block);
    LevelChange change;
    if (levels.size() < 3) {
        return change;
    }
    // After the change: the median of the last three blocks, so that a cycle the loaded
    // graph missed does not decide the result.
    std::vector<double> last(levels.end() - 3, levels.end());
    std::sort(last.begin(), last.end());
    change.after = last[1];
    // Before the change: the blocks from the loudest one on, while they stay within 3 dB of
    // it. The first blocks may hold silence from before the link.
    auto loudest = std::max_element(levels.begin(), levels.end());
    std::vector<double> plateau;
    for (auto it = loudest; it != levels.end() && *it > *loudest / 1.41; ++it) {
        plateau.push_back(*it);
    }
    std::nth_element(plateau.begin(), plateau.begin() + plateau.size() / 2, plateau.end());
    change.before = plateau[plateau.size() / 2];
    return change;
}

Environment WholeSystem::childEnvironment() const {
    Environment environment = daemon.environment();
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TZ"}) {
        if (const char* value = std::getenv(name)) {
            environment[name] = value;
        }
    }
    const char* tsan = std::getenv("TSAN_OPTIONS");
    environment["TSAN_OPTIONS"] =
        std::string(tsan != nullptr ? tsan : "") + ":suppressions=" ZEPHRANE_TSAN_SUPPRESSIONS;
    return environment;
}

void WholeSystem::SetUp() {
    if (!daemon.up()) {
        GTEST_SKIP() << "no PipeWire daemon could be started";
    }
    stateDir = files.file("state");
    mkdir(stateDir.c_str(), 0755);
    jsonPort = enginetest::freePort();
}

std::unique_ptr<ChildProcess> WholeSystem::startHost() {
    std::vector<std::string> arguments{"-C", kHost, "-D", stateDir, "-j", std::to_string(jsonPort)};
    arguments.insert(arguments.end(), extraHostArguments.begin(), extraHostArguments.end());
    return std::make_unique<ChildProcess>(ZEPHRANE_FILTER_PATH, arguments, childEnvironment());
}

std::unique_ptr<ChildProcess> WholeSystem::startClient(double seconds) {
    return std::make_unique<ChildProcess>(
        ZEPHRANE_TEST_CLIENT_PATH,
        std::vector<std::string>{"--name", "zt-client", "--latency", "256/48000", "--seconds",
                                 std::to_string(seconds), "--level-period",
                                 std::to_string(kLevelPeriodSeconds), "--record", files.file("client.raw")},
        childEnvironment());
}

void WholeSystem::startLinked(std::unique_ptr<ChildProcess>& host, std::unique_ptr<ChildProcess>& client,
                              double seconds) {
    host = startHost();
    client = startClient(seconds);
    std::string hostPort = std::string(kHost) + ":FL";
    ASSERT_TRUE(eventually(
        [&] {
            std::string listed = daemon.tool("pw-link", {"-o"}).out;
            return listed.find(hostPort + "\n") != std::string::npos &&
                   listed.find("zt-client:out\n") != std::string::npos;
        },
        10s))
        << "ports did not appear";
    ASSERT_EQ(daemon.tool("pw-link", {"zt-client:out", hostPort}).status, 0);
    ASSERT_EQ(daemon.tool("pw-link", {hostPort, "zt-client:in"}).status, 0);
    // The host makes its engine instance in the first cycle; its JSON port follows.
    ASSERT_TRUE(eventually([&] { return jsonPortAnswers(); }, 15s)) << "the JSON port never answered";
}

ChildResult WholeSystem::stop(ChildProcess& program) {
    program.sendSignal(SIGTERM);
    return program.finish(10s);
}

void WholeSystem::stopClient(ChildProcess& client) {
    client.sendSignal(SIGTERM);
    client.finish(5s);
}

nlohmann::json WholeSystem::request(const std::string& line) {
    enginetest::LineClient client(jsonPort);
    if (!client.connected()) {
        return nullptr;
    }
    std::string reply = client.request(line);
    return nlohmann::json::parse(reply, nullptr, false);
}

bool WholeSystem::jsonPortAnswers() {
    nlohmann::json reply = request(R"({"get":{"info":null}})");
    return reply.is_object() && reply.contains("info");
}

}  // namespace zephrane::testing
