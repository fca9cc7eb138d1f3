// The whole system through a real browser: zephrane-web in front of the host on our engine,
// the page driven by chromium (tests/browser/web_ui_test.mjs): log in, a wrong secret
// refused, meters moving with the test signal, the input gain set to -30 dB from the page.
// Here the effect is checked where it matters: in the JSON port and in the recorded audio.
#include <signal.h>
#include <unistd.h>

#include <thread>

#include "../engine/test_support.h"
#include "system_fixture.h"

namespace zephrane::testing {
namespace {

using namespace std::chrono_literals;

constexpr int kSkipped = 77;

class BrowserOnWholeSystem : public WholeSystem {
  protected:
    std::unique_ptr<ChildProcess> startWeb(int httpPort) {
        Environment environment = childEnvironment();
        environment["SETUP_USER"] = "operator";
        environment["SETUP_SECRET"] = "system-test-secret";
        environment["STATE_DIR"] = stateDir;
        return std::make_unique<ChildProcess>(
            ZEPHRANE_WEB_PATH,
            std::vector<std::string>{"-i", "127.0.0.1", "-p", std::to_string(jsonPort), "-w",
                                     std::to_string(httpPort), "-s", "0"},
            environment);
    }

    ChildResult runBrowser(int httpPort) {
        Environment environment;
        for (const char* name : {"PATH", "HOME", "CHROMIUM_PATH"}) {
            if (const char* value = std::getenv(name)) {
                environment[name] = value;
            }
        }
        environment["ZEPHRANE_WEB_URL"] = "http://127.0.0.1:" + std::to_string(httpPort) + "/";
        environment["ZEPHRANE_WEB_USER"] = "operator";
        environment["ZEPHRANE_WEB_SECRET"] = "system-test-secret";
        environment["ZEPHRANE_JSON_ADDR"] = "127.0.0.1:" + std::to_string(jsonPort);
        environment["ZEPHRANE_ARTIFACT_DIR"] = ARTIFACT_DIR;
        environment["ZEPHRANE_SKIP_EXIT_CODE"] = std::to_string(kSkipped);
        return runChild(NODE_EXECUTABLE, {BROWSER_TEST_SCRIPT}, environment, 120s);
    }
};

TEST_F(BrowserOnWholeSystem, GainSetOnThePageReachesTheEngineAndTheAudio) {
    if (std::string(NODE_EXECUTABLE).empty() || access(NODE_EXECUTABLE, X_OK) != 0) {
        GTEST_SKIP() << "no node";
    }
    std::unique_ptr<ChildProcess> host;
    std::unique_ptr<ChildProcess> client;
    startLinked(host, client, 150);
    if (HasFatalFailure()) {
        return;
    }
    int httpPort = enginetest::freePort();
    std::unique_ptr<ChildProcess> web = startWeb(httpPort);

    ChildResult browser = runBrowser(httpPort);
    if (browser.status == kSkipped) {
        GTEST_SKIP() << browser.out;
    }
    EXPECT_EQ(browser.status, 0) << browser.out << browser.err;
    EXPECT_EQ(request(R"({"get":{"in":null}})")["in"]["gain"], -30);
    // More audio after the change, so the last blocks are all after it.
    std::this_thread::sleep_for(2s);
    client->sendSignal(SIGTERM);
    EXPECT_EQ(client->finish(15s).status, 0);
    LevelChange change = levelChange(recording().samples, kLevelPeriodFrames);
    EXPECT_NEAR(change.dB(), -30.0, 0.5) << "before " << change.before << ", after " << change.after;

    ChildResult webStopped = stop(*web);
    EXPECT_EQ(webStopped.status, 0) << webStopped.err;
    ChildResult hostStopped = stop(*host);
    EXPECT_EQ(hostStopped.status, 0) << hostStopped.err;
}

}  // namespace
}  // namespace zephrane::testing
