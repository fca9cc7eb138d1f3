// Who may use the web interface, and what is written down about it: the Host check, the
// login settings with their kept secret, session lifetimes and the audit lines.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "auth.h"
#include "host_check.h"
#include "test_support.h"
#include "web_app.h"

namespace zephrane::web {
namespace {

using namespace std::chrono_literals;

TEST(HostCheck, OnlyAddressesAndOwnNamesPass) {
    std::vector<std::string> names{"studio-board", "studio-board.local", "mixer.example.org"};
    for (const char* good :
         {"127.0.0.1", "192.168.1.20:8080", "[::1]", "[::1]:8443", "[fe80::1]:80", "localhost",
          "LOCALHOST:8080", "localhost.", "studio-board", "Studio-Board.local:8080", "mixer.example.org"}) {
        EXPECT_TRUE(hostAllowed(good, names)) << good;
    }
    for (const char* bad : {"", "evil.example", "evil.example:8080", "localhost.evil.example",
                            "studio-board.evil", "::1", "[::1", "[not-v6]:80", "192.168.1.20:port",
                            "192.168.1.20:8080:1", "1.2.3.4.5", "studio-board:", "localhost:999999"}) {
        EXPECT_FALSE(hostAllowed(bad, names)) << bad;
    }
}

TEST(HostCheck, NamesComeFromTheHostNameAndWebHosts) {
    ::setenv("WEB_HOSTS", " Mixer.Example.org , ,proxy.local.", 1);
    std::vector<std::string> names = allowedHostNamesFromEnvironment();
    ::unsetenv("WEB_HOSTS");
    char host[256] = {};
    ASSERT_EQ(::gethostname(host, sizeof host - 1), 0);
    EXPECT_TRUE(hostAllowed(host, names));
    EXPECT_TRUE(hostAllowed(std::string(host) + ".local:8080", names));
    EXPECT_TRUE(hostAllowed("mixer.example.org", names));
    EXPECT_TRUE(hostAllowed("proxy.local:443", names));
    EXPECT_FALSE(hostAllowed("example.org", names));
}

// Clears the login variables around a test and restores nothing: tests set what they need.
class LoginEnvironment : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : {"SETUP_USER", "ADMIN_USER", "SETUP_SECRET", "ADMIN_SECRET", "WEB_HOSTS"}) {
            ::unsetenv(name);
        }
    }
    void TearDown() override {
        SetUp();
        std::filesystem::remove_all(dir);
    }

    std::string secretFile() const { return (dir / kLoginSecretFileName).string(); }

    std::filesystem::path dir = test::makeTempDir("zephrane-access-test");
};

TEST_F(LoginEnvironment, ASecretWithoutAUserEnablesLoginForAdmin) {
    ::setenv("SETUP_SECRET", "only-a-secret", 1);
    test::LogCapture log;
    LoginSettings login = loginSettingsFromEnvironment(log.logger(), dir.string());
    EXPECT_TRUE(login.enabled());
    EXPECT_EQ(login.user, "admin");
    EXPECT_EQ(login.secret, "only-a-secret");
    EXPECT_TRUE(log.contains(kWebWarn, "login enabled for user admin"));
    EXPECT_EQ(log.all().find("only-a-secret"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(secretFile()));
}

TEST_F(LoginEnvironment, AGeneratedSecretIsKeptPrivateAndReusedAfterARestart) {
    ::setenv("SETUP_USER", "operator", 1);
    test::LogCapture log;
    mode_t umask = ::umask(022);
    LoginSettings first = loginSettingsFromEnvironment(log.logger(), dir.string());
    ::umask(umask);
    ASSERT_EQ(first.secret.size(), 20u);
    struct stat info {};
    ASSERT_EQ(::stat(secretFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::ifstream file(secretFile());
    std::string stored;
    std::getline(file, stored);
    EXPECT_EQ(stored, first.secret);
    EXPECT_EQ(log.all().find(first.secret), std::string::npos) << log.all();
    EXPECT_TRUE(log.contains(kWebWarn, secretFile()));

    // Another process (a restart) reads the same file: simulated by a fresh directory key.
    std::filesystem::path moved = dir.string() + "-again";
    std::filesystem::create_directories(moved);
    std::filesystem::copy_file(secretFile(), moved / kLoginSecretFileName);
    test::LogCapture again;
    LoginSettings second = loginSettingsFromEnvironment(again.logger(), moved.string(), true);
    EXPECT_EQ(second.secret, first.secret);
    EXPECT_TRUE(again.contains(kWebInfo, "read from"));
    EXPECT_EQ(again.all().find(first.secret), std::string::npos);
    std::filesystem::remove_all(moved);
}

TEST_F(LoginEnvironment, ASecretThatCannotBeKeptIsLoggedAsBefore) {
    ::setenv("ADMIN_USER", "admin", 1);
    test::LogCapture log;
    std::string readOnly = (dir / "ro").string();
    LoginSettings login = loginSettingsFromEnvironment(log.logger(), readOnly, true);
    EXPECT_TRUE(log.contains(kWebWarn, "login secret for admin is " + login.secret));
    EXPECT_FALSE(std::filesystem::exists(readOnly));
}

class SessionLifetime : public ::testing::Test {
  protected:
    void SetUp() override { SessionStore::instance().clear(); }
    void TearDown() override { SessionStore::instance().clear(); }
};

TEST_F(SessionLifetime, EndsTwelveHoursAfterLoginHoweverBusy) {
    auto start = Clock::now();
    SessionStore& store = SessionStore::instance();
    std::string token = store.create(start, "admin");
    for (auto at = start; at < start + 12h; at += 1h) {
        EXPECT_EQ(store.userOf(token, at), "admin");
    }
    EXPECT_FALSE(store.check(token, start + 12h + 1s));
    EXPECT_FALSE(store.check(token, start + 1h));  // gone for good
}

TEST_F(SessionLifetime, EndsAfterTheIdleTimeAndOnLogout) {
    auto start = Clock::now();
    SessionStore& store = SessionStore::instance();
    std::string idle = store.create(start, "a");
    EXPECT_FALSE(store.check(idle, start + SessionStore::kIdleLifetime + 1s));
    std::string other = store.create(start, "b");
    EXPECT_EQ(store.remove(other), "b");
    EXPECT_FALSE(store.check(other, start));
    EXPECT_FALSE(store.remove(other));
}

// Answers like the engine: values from a small tree, sets applied to it.
class TreeChannel : public ControlChannel {
  public:
    std::optional<std::string> request(const std::string& line) override {
        nlohmann::json command = nlohmann::json::parse(line);
        if (command.contains("get")) {
            return tree.dump();
        }
        if (command.contains("set")) {
            if (command["set"].contains("bad")) {
                return R"({"error":"unknown key"})";
            }
            tree.merge_patch(command["set"]);
            return command["set"].dump();
        }
        if (command["preset"].contains("list")) {
            return R"({"preset":{"list":[]}})";
        }
        return R"({"preset":{"saved":"x"}})";
    }
    bool connected() const override { return true; }

    nlohmann::json tree = {{"in", {{"gain", -30.0}}}, {"out", {{"gain", 0.0}}}};
};

HttpRequest post(const std::string& path, const std::string& body, const std::string& cookie = "") {
    HttpRequest request;
    request.method = "POST";
    request.path = request.target = path;
    request.body = body;
    request.headers = {{"host", "localhost"}, {"content-type", "application/json"}};
    if (!cookie.empty()) {
        request.headers.emplace_back("cookie", cookie);
    }
    return request;
}

std::vector<std::string> infoLines(test::LogCapture& log) {
    std::vector<std::string> lines;
    std::string all = log.all();
    for (size_t at = 0, end; (end = all.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = all.substr(at, end - at);
        if (line.rfind(std::to_string(kWebInfo) + " ", 0) == 0) {
            lines.push_back(line.substr(2));
        }
    }
    return lines;
}

// Sessions are process-wide: cleared around each test here too.
class WebAudit : public SessionLifetime {};

TEST_F(WebAudit, EveryChangeThroughTheWebIsOneLineNamingTheUser) {
    LoginThrottle::instance().clear();
    auto channel = std::make_shared<TreeChannel>();
    test::LogCapture log;
    WebApp app(LoginSettings{"admin", "pw"}, channel, log.logger());
    RequestContext from{"192.0.2.9", false, Clock::now()};
    EXPECT_EQ(app.handle(post("/api/login", R"({"user":"adm\nin\u001b[1m","secret":"x"})"), from).status,
              401);
    HttpResponse login = app.handle(post("/api/login", R"({"user":"admin","secret":"pw"})"), from);
    std::string cookie(login.header("Set-Cookie"));
    cookie = cookie.substr(0, cookie.find(';'));
    EXPECT_EQ(
        app.handle(post("/api/control", R"({"set":{"out":{"gain":-5},"in":{"gain":-24.5}}})", cookie), from)
            .status,
        200);
    app.handle(post("/api/control", R"({"set":{"bad":{"x":1}}})", cookie), from);  // refused: no line
    app.handle(post("/api/control", R"({"get":null})", cookie), from);
    app.handle(post("/api/control", R"({"preset":{"list":null}})", cookie), from);
    app.handle(post("/api/control", R"({"preset":{"save":"Talk\r\n"}})", cookie), from);
    app.handle(post("/api/logout", "{}", cookie), from);
    std::vector<std::string> expected{
        "Web server: failed login from 192.0.2.9 as user adm\\x0ain\\x1b[1m",
        "Web server: user admin at 192.0.2.9: logged in",
        "Web server: user admin at 192.0.2.9: set in.gain -30 -> -24.5, out.gain 0 -> -5",
        "Web server: user admin at 192.0.2.9: preset save \"Talk\\\\r\\\\n\"",
        "Web server: user admin at 192.0.2.9: logged out"};
    EXPECT_EQ(infoLines(log), expected);
}

TEST(HostCheckInTheApp, RequestsForOtherNamesAreMisdirected) {
    auto channel = std::make_shared<TreeChannel>();
    WebApp app(LoginSettings{"", "", {"studio"}}, channel, nullptr);
    RequestContext from{"192.0.2.9", false, Clock::now()};
    HttpRequest request = post("/api/control", R"({"set":{"out":{"gain":-5}}})");
    request.headers[0].second = "rebound.evil.example";
    EXPECT_EQ(app.handle(request, from).status, 421);
    request.headers[0].second = "studio:8080";
    EXPECT_EQ(app.handle(request, from).status, 200);
    HttpRequest page;
    page.method = "GET";
    page.path = page.target = "/";
    EXPECT_EQ(app.handle(page, from).status, 421);  // no Host at all
    page.headers = {{"host", "[::1]:8080"}};
    EXPECT_EQ(app.handle(page, from).status, 200);
    EXPECT_EQ(channel->tree["out"]["gain"], -5);
}

}  // namespace
}  // namespace zephrane::web
