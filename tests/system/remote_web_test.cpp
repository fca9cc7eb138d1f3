// zephrane-web on its own, reaching the host's JSON port over TCP: the same commands over
// HTTP and over HTTPS with the certificate it makes itself, "disconnected" while the host
// is away, and back by itself when the host returns.
#include <signal.h>

#include "../engine_web/test_support.h"
#include "clean_exit.h"
#include "system_fixture.h"

namespace zephrane::testing {
namespace {

using namespace std::chrono_literals;
using web::test::Client;
using web::test::HttpReply;

class RemoteWeb : public WholeSystem {
  protected:
    // Login disabled: no user in the environment.
    std::unique_ptr<ChildProcess> startWeb() {
        Environment environment = childEnvironment();
        environment["STATE_DIR"] = stateDir;
        return std::make_unique<ChildProcess>(
            ZEPHRANE_WEB_PATH,
            std::vector<std::string>{"-i", "localhost", "-p", std::to_string(jsonPort), "-w",
                                     std::to_string(httpPort), "-s", std::to_string(httpsPort)},
            environment);
    }

    HttpReply control(const std::string& body, bool tls = false) {
        Client client(tls ? httpsPort : httpPort, tls);
        return client.request("POST", "/api/control", body);
    }

    uint32_t httpPort = web::test::freePort();
    uint32_t httpsPort = web::test::freePort();
};

TEST_F(RemoteWeb, ServesTheHostOverHttpAndHttpsAndFollowsItAcrossARestart) {
    std::unique_ptr<ChildProcess> host;
    std::unique_ptr<ChildProcess> client;
    startLinked(host, client, 60);
    if (HasFatalFailure()) {
        return;
    }
    std::unique_ptr<ChildProcess> web = startWeb();
    ASSERT_TRUE(
        eventually([&] { return control(R"({"set":{"in":{"gain":-12}}})", true).status == 200; }, 10s))
        << "no answer over HTTPS";
    EXPECT_EQ(request(R"({"get":{"in":null}})")["in"]["gain"], -12);

    EXPECT_TRUE(exitedCleanly(stop(*host)));
    stopClient(*client);
    HttpReply away;
    EXPECT_TRUE(eventually(
        [&] {
            away = control(R"({"get":{"in":null}})");
            return away.status == 503;
        },
        5s))
        << away.status << " " << away.body;

    startLinked(host, client, 60);
    if (HasFatalFailure()) {
        return;
    }
    HttpReply back;
    EXPECT_TRUE(eventually(
        [&] {
            back = control(R"({"get":{"in":null}})");
            return back.status == 200;
        },
        10s))
        << back.status << " " << back.body;
    EXPECT_EQ(nlohmann::json::parse(back.body, nullptr, false)["in"]["gain"], -12) << back.body;

    ChildResult webStopped = stop(*web);
    EXPECT_EQ(webStopped.status, 0) << webStopped.err;
    EXPECT_NE(webStopped.err.find("SHA-256"), std::string::npos) << webStopped.err << webStopped.out;
    EXPECT_TRUE(exitedCleanly(stop(*host)));
    stopClient(*client);
}

}  // namespace
}  // namespace zephrane::testing
