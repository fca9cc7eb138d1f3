// The host on our engine library in a real PipeWire graph: a setting made through the JSON
// control port changes the audio that comes back, and the engine keeps it across a clean
// restart and across a crash shortly after the change.
#include <signal.h>

#include <cmath>
#include <cstdio>
#include <thread>

#include "../engine/test_support.h"
#include "clean_exit.h"
#include "system_fixture.h"

namespace zephrane::testing {
namespace {

using namespace std::chrono_literals;

class EngineInGraph : public WholeSystem {};

TEST_F(EngineInGraph, InputGainSetThroughTheJsonPortLowersTheAudioAndSurvivesARestart) {
    std::unique_ptr<ChildProcess> host;
    std::unique_ptr<ChildProcess> client;
    startLinked(host, client, 5);
    if (HasFatalFailure()) {
        return;
    }
    std::this_thread::sleep_for(1500ms);
    nlohmann::json reply = request(R"({"set":{"in":{"gain":-30}}})");
    ASSERT_TRUE(reply.is_object()) << reply;
    EXPECT_EQ(reply["in"]["gain"], -30) << reply;
    EXPECT_EQ(client->finish(15s).status, 0);

    Recording recorded = recording();
    ASSERT_GT(recorded.samples.size(), 4 * kLevelPeriodFrames);
    LevelChange change = levelChange(recorded.samples, kLevelPeriodFrames);
    std::printf("level %.4f before, %.5f after: %.2f dB\n", change.before, change.after, change.dB());
    // At 0 dB the engine passes the played level: uniform noise in [-0.5, 0.5) under a
    // level of 0.6 + 0.4 sin, RMS sqrt(0.6^2 + 0.4^2 / 2) / sqrt(12). Within 5 %: on a
    // loaded machine the graph may skip a cycle inside the short stretch before the change.
    EXPECT_NEAR(change.before, std::sqrt(0.36 + 0.08) / std::sqrt(12.0), 0.01);
    EXPECT_NEAR(change.dB(), -30.0, 0.5) << "before " << change.before << ", after " << change.after;
    // The ramp does not overshoot: nothing after the loudest block is louder than before.
    float peakBefore = 0;
    float peakAfter = 0;
    size_t half = recorded.samples.size() / 2;
    for (size_t k = 0; k < recorded.samples.size(); ++k) {
        float& peak = k < half ? peakBefore : peakAfter;
        peak = std::max(peak, std::abs(recorded.samples[k]));
    }
    EXPECT_LE(peakAfter, peakBefore);

    ChildResult stopped = stop(*host);
    EXPECT_EQ(stopped.status, 0) << stopped.err;

    std::unique_ptr<ChildProcess> again;
    startLinked(again, client, 30);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_EQ(request(R"({"get":{"in":null}})")["in"]["gain"], -30);
    EXPECT_TRUE(exitedCleanly(stop(*again)));
    stopClient(*client);
}

TEST_F(EngineInGraph, ASettingMadeTwoSecondsBeforeACrashIsKept) {
    std::unique_ptr<ChildProcess> host;
    std::unique_ptr<ChildProcess> client;
    startLinked(host, client, 30);
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_EQ(request(R"({"set":{"out":{"gain":-6.5}}})")["out"]["gain"], -6.5);
    std::this_thread::sleep_for(2500ms);
    host->sendSignal(SIGKILL);
    EXPECT_EQ(host->finish(5s).status, 128 + SIGKILL);
    stopClient(*client);

    std::unique_ptr<ChildProcess> again;
    startLinked(again, client, 30);
    if (HasFatalFailure()) {
        return;
    }
    EXPECT_EQ(request(R"({"get":{"out":null}})")["out"]["gain"], -6.5);
    EXPECT_TRUE(exitedCleanly(stop(*again)));
    stopClient(*client);
}

// The host makes the new instance while the old one still holds the JSON and web ports,
// and the new one must start from the old one's live settings, not from the file.
TEST_F(EngineInGraph, AQuantumChangeRightAfterASettingKeepsItAndThePorts) {
    int httpPort = enginetest::freePort();
    extraHostArguments = {"-w", std::to_string(httpPort)};
    std::unique_ptr<ChildProcess> host;
    std::unique_ptr<ChildProcess> client;
    startLinked(host, client, 6);
    if (HasFatalFailure()) {
        return;
    }
    ASSERT_EQ(request(R"({"get":{"info":null}})")["info"]["chunk"], 256);
    std::this_thread::sleep_for(1500ms);  // the level before the change
    enginetest::LineClient connected(jsonPort);
    ASSERT_EQ(nlohmann::json::parse(connected.request(R"({"set":{"in":{"gain":-20}}})"))["in"]["gain"], -20);
    ASSERT_EQ(daemon.tool("pw-metadata", {"-n", "settings", "0", "clock.force-quantum", "512"}).status, 0);

    nlohmann::json info;
    EXPECT_TRUE(eventually(
        [&] {
            info = request(R"({"get":{"info":null}})");
            return info.is_object() && info["info"]["chunk"] == 512;
        },
        5s))
        << info;
    EXPECT_EQ(request(R"({"get":{"in":null}})")["in"]["gain"], -20);
    enginetest::LineClient web(httpPort);
    EXPECT_TRUE(web.connected()) << "the web port was lost";
    EXPECT_EQ(client->finish(15s).status, 0);
    LevelChange change = levelChange(recording().samples, kLevelPeriodFrames);
    EXPECT_NEAR(change.dB(), -20.0, 0.5) << "before " << change.before << ", after " << change.after;

    ChildResult stopped = stop(*host);
    EXPECT_TRUE(exitedCleanly(stopped));
    for (const char* bad : {"FATAL", "ERROR", "Invalid instance"}) {
        EXPECT_EQ(stopped.err.find(bad), std::string::npos) << stopped.err;
    }
}

}  // namespace
}  // namespace zephrane::testing
