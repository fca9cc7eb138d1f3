#include "web_app.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

namespace zephrane::web {
namespace {

// Records requests and answers with a fixed reply, or as unreachable.
class StubChannel : public ControlChannel {
  public:
    std::optional<std::string> request(const std::string& line) override {
        lines.push_back(line);
        if (!up) {
            return std::nullopt;
        }
        return reply;
    }
    bool connected() const override { return up; }

    std::vector<std::string> lines;
    bool up = true;
    std::string reply = R"({"in":{"gain":-30.0}})";
};

HttpRequest makeRequest(const std::string& method, const std::string& path, const std::string& body = "",
                        const std::string& cookie = "") {
    HttpRequest request;
    request.method = method;
    request.path = path;
    request.target = path;
    request.body = body;
    request.headers.emplace_back("host", "localhost:8080");
    if (method == "POST") {
        request.headers.emplace_back("content-type", "application/json");
    }
    if (!cookie.empty()) {
        request.headers.emplace_back("cookie", cookie);
    }
    return request;
}

class WebAppTest : public ::testing::Test {
  protected:
    void SetUp() override {
        SessionStore::instance().clear();
        LoginThrottle::instance().clear();
        channel = std::make_shared<StubChannel>();
    }

    WebApp makeApp(bool login) {
        LoginSettings settings;
        settings.hostNames = {"device"};
        if (login) {
            settings.user = "admin";
            settings.secret = "s3cret";
        }
        return WebApp(settings, channel, nullptr);
    }

    // The "name=value" part of the session cookie set by a successful login.
    std::string logIn(WebApp& app, bool https = false) {
        RequestContext context{"10.0.0.1", https, Clock::now()};
        HttpResponse response =
            app.handle(makeRequest("POST", "/api/login", R"({"user":"admin","secret":"s3cret"})"), context);
        EXPECT_EQ(response.status, 200);
        std::string cookie(response.header("Set-Cookie"));
        return cookie.substr(0, cookie.find(';'));
    }

    std::shared_ptr<StubChannel> channel;
    RequestContext context{"10.0.0.1", false, Clock::now()};
};

TEST_F(WebAppTest, PageAndAssetsAreServedAndEverythingElseIsNotFound) {
    WebApp app = makeApp(true);
    for (const char* path : {"/", "/index.html", "/app.js", "/app.css"}) {
        HttpResponse response = app.handle(makeRequest("GET", path), context);
        EXPECT_EQ(response.status, 200) << path;
        EXPECT_FALSE(response.body.empty()) << path;
    }
    EXPECT_NE(app.handle(makeRequest("GET", "/"), context).body.find("/app.js"), std::string::npos);
    EXPECT_EQ(app.handle(makeRequest("GET", "/app.js"), context).header("Content-Type"),
              "text/javascript; charset=utf-8");
    for (const char* path : {"/nope", "/api/nope", "/../etc/passwd", "/index.html/", "/api"}) {
        EXPECT_EQ(app.handle(makeRequest("GET", path), context).status, 404) << path;
    }
    HttpResponse wrongMethod = app.handle(makeRequest("DELETE", "/"), context);
    EXPECT_EQ(wrongMethod.status, 405);
    EXPECT_EQ(wrongMethod.header("Allow"), "GET, HEAD");
    EXPECT_EQ(app.handle(makeRequest("GET", "/api/control"), context).status, 405);
}

TEST_F(WebAppTest, WithoutLoginTheApiIsOpen) {
    WebApp app = makeApp(false);
    HttpResponse session = app.handle(makeRequest("GET", "/api/session"), context);
    EXPECT_EQ(nlohmann::json::parse(session.body),
              (nlohmann::json{{"login", false}, {"authenticated", true}}));
    EXPECT_EQ(app.handle(makeRequest("POST", "/api/control", R"({"get":null})"), context).status, 200);
    EXPECT_TRUE(app.handle(makeRequest("GET", "/api/events"), context).eventStream);
}

TEST_F(WebAppTest, WithLoginTheApiNeedsASession) {
    WebApp app = makeApp(true);
    EXPECT_EQ(app.handle(makeRequest("POST", "/api/control", R"({"get":null})"), context).status, 401);
    EXPECT_EQ(app.handle(makeRequest("GET", "/api/events"), context).status, 401);
    EXPECT_EQ(
        app.handle(makeRequest("POST", "/api/control", R"({"get":null})", "zephrane_session=forged"), context)
            .status,
        401);
    EXPECT_TRUE(channel->lines.empty());

    std::string cookie = logIn(app);
    EXPECT_EQ(
        app.handle(makeRequest("POST", "/api/control", R"({"get":null})", "a=b; " + cookie), context).status,
        200);
    HttpResponse session = app.handle(makeRequest("GET", "/api/session", "", cookie), context);
    EXPECT_EQ(nlohmann::json::parse(session.body)["authenticated"], true);

    HttpResponse logout = app.handle(makeRequest("POST", "/api/logout", "", cookie), context);
    EXPECT_NE(logout.header("Set-Cookie").find("Max-Age=0"), std::string_view::npos);
    EXPECT_EQ(app.handle(makeRequest("POST", "/api/control", R"({"get":null})", cookie), context).status,
              401);
}

TEST_F(WebAppTest, SessionCookieFlagsDependOnTransport) {
    WebApp app = makeApp(true);
    for (bool https : {false, true}) {
        RequestContext ctx{"10.0.0.2", https, Clock::now()};
        HttpResponse response =
            app.handle(makeRequest("POST", "/api/login", R"({"user":"admin","secret":"s3cret"})"), ctx);
        std::string cookie(response.header("Set-Cookie"));
        EXPECT_EQ(cookie.rfind(std::string(kSessionCookie) + "=", 0), 0u);
        EXPECT_NE(cookie.find("; HttpOnly"), std::string::npos);
        EXPECT_NE(cookie.find("; SameSite=Strict"), std::string::npos);
        EXPECT_EQ(cookie.find("; Secure") != std::string::npos, https);
        // 32 random bytes in hex.
        EXPECT_EQ(cookie.find(';') - cookie.find('=') - 1, 64u);
    }
}

TEST_F(WebAppTest, WrongCredentialsAreRefusedAndRepeatedFailuresSlowedDown) {
    WebApp app = makeApp(true);
    auto attempt = [&](const std::string& body, Clock::time_point now) {
        return app.handle(makeRequest("POST", "/api/login", body), RequestContext{"10.0.0.9", false, now});
    };
    Clock::time_point t0 = Clock::now();
    EXPECT_EQ(attempt(R"({"user":"admin","secret":"wrong"})", t0).status, 401);
    EXPECT_EQ(attempt(R"({"user":"Admin","secret":"s3cret"})", t0).status, 401);
    EXPECT_TRUE(attempt(R"({"user":"admin","secret":"wrong"})", t0).header("Set-Cookie").empty());
    // Now the address must wait, even with the right secret.
    HttpResponse throttled = attempt(R"({"user":"admin","secret":"s3cret"})", t0);
    EXPECT_EQ(throttled.status, 429);
    EXPECT_EQ(throttled.header("Retry-After"), "1");
    // Another address is not affected.
    EXPECT_EQ(app.handle(makeRequest("POST", "/api/login", R"({"user":"admin","secret":"s3cret"})"),
                         RequestContext{"10.0.0.10", false, t0})
                  .status,
              200);
    // Each further failure doubles the wait.
    EXPECT_EQ(attempt(R"({"user":"admin","secret":"wrong"})", t0 + std::chrono::seconds(2)).status, 401);
    EXPECT_EQ(attempt(R"({"user":"admin","secret":"s3cret"})", t0 + std::chrono::seconds(3)).status, 429);
    EXPECT_EQ(attempt(R"({"user":"admin","secret":"s3cret"})", t0 + std::chrono::seconds(5)).status, 200);
    // A success clears the record.
    EXPECT_EQ(attempt(R"({"user":"admin","secret":"wrong"})", t0 + std::chrono::seconds(5)).status, 401);
}

TEST_F(WebAppTest, MalformedLoginBodiesAreBadRequests) {
    WebApp app = makeApp(true);
    for (const char* body :
         {"", "not json", "[]", R"({"user":"admin"})", R"({"user":1,"secret":"s3cret"})"}) {
        EXPECT_EQ(app.handle(makeRequest("POST", "/api/login", body), context).status, 400) << body;
    }
}

TEST_F(WebAppTest, ControlPassesOneCompactLineAndTheReplyBack) {
    WebApp app = makeApp(false);
    HttpResponse response =
        app.handle(makeRequest("POST", "/api/control", "{ \"set\" :\n {\"in\": {\"gain\": -30}} }"), context);
    EXPECT_EQ(response.status, 200);
    EXPECT_EQ(response.body, channel->reply);
    EXPECT_EQ(response.header("Content-Type"), "application/json");
    // The values before the change are asked for first, for the audit line.
    ASSERT_EQ(channel->lines.size(), 2u);
    EXPECT_EQ(channel->lines[0], R"({"get":{"in":{"gain":null}}})");
    EXPECT_EQ(channel->lines[1], R"({"set":{"in":{"gain":-30}}})");
}

TEST_F(WebAppTest, ControlRefusesNonObjectsAndDeepNestingAndReportsADownInstance) {
    WebApp app = makeApp(false);
    std::string deep = std::string(100, '[') + std::string(100, ']');
    for (const std::string& body :
         {std::string("x"), std::string("[1]"), std::string("\"s\""), deep, "{\"a\":" + deep + "}"}) {
        EXPECT_EQ(app.handle(makeRequest("POST", "/api/control", body), context).status, 400) << body;
    }
    EXPECT_TRUE(channel->lines.empty());
    channel->up = false;
    HttpResponse down = app.handle(makeRequest("POST", "/api/control", R"({"get":null})"), context);
    EXPECT_EQ(down.status, 503);
    EXPECT_EQ(nlohmann::json::parse(down.body)["error"], "disconnected");
}

TEST_F(WebAppTest, PostsFromOtherSitesAreRefused) {
    WebApp app = makeApp(false);
    HttpRequest form = makeRequest("POST", "/api/control", R"({"set":{"in":{"gain":24}}})");
    form.headers = {{"host", "device:8080"}, {"content-type", "text/plain"}};
    EXPECT_EQ(app.handle(form, context).status, 403);
    HttpRequest foreign = form;
    foreign.headers = {
        {"host", "device:8080"}, {"content-type", "application/json"}, {"origin", "http://evil.example"}};
    EXPECT_EQ(app.handle(foreign, context).status, 403);
    EXPECT_TRUE(channel->lines.empty());
    HttpRequest own = form;
    own.headers = {{"host", "device:8080"},
                   {"content-type", "application/json; charset=utf-8"},
                   {"origin", "https://device:8080"}};
    EXPECT_EQ(app.handle(own, context).status, 200);
}

TEST(Credentials, MatchOnlyExactly) {
    LoginSettings login{"admin", "secret"};
    EXPECT_TRUE(credentialsMatch(login, "admin", "secret"));
    EXPECT_FALSE(credentialsMatch(login, "admin", "secre"));
    EXPECT_FALSE(credentialsMatch(login, "admin", "secret "));
    EXPECT_FALSE(credentialsMatch(login, "", ""));
    EXPECT_FALSE(credentialsMatch(login, "secret", "admin"));
}

TEST(Credentials, EnvironmentChoosesSetupBeforeAdminAndGeneratesOneSecretPerProcess) {
    ::setenv("SETUP_USER", "setup", 1);
    ::setenv("ADMIN_USER", "admin", 1);
    ::setenv("ADMIN_SECRET", "adminsecret", 1);
    ::unsetenv("SETUP_SECRET");
    LoginSettings login = loginSettingsFromEnvironment(nullptr);
    EXPECT_EQ(login.user, "setup");
    EXPECT_EQ(login.secret, "adminsecret");

    ::unsetenv("ADMIN_SECRET");
    std::vector<std::string> warnings;
    WebLog log = [&](int severity, const std::string& text) {
        if (severity == kWebWarn) {
            warnings.push_back(text);
        }
    };
    LoginSettings first = loginSettingsFromEnvironment(log);
    LoginSettings second = loginSettingsFromEnvironment(log);
    EXPECT_EQ(first.secret.size(), 20u);
    EXPECT_EQ(first.secret, second.secret);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find(first.secret), std::string::npos);

    ::unsetenv("SETUP_USER");
    ::unsetenv("ADMIN_USER");
    warnings.clear();
    EXPECT_FALSE(loginSettingsFromEnvironment(log).enabled());
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_NE(warnings[0].find("login disabled"), std::string::npos);
}

TEST(Cookies, ValueIsFoundAmongOthers) {
    EXPECT_EQ(cookieValue("a=1; zephrane_session=abc; b=2", "zephrane_session"), "abc");
    EXPECT_EQ(cookieValue("xzephrane_session=abc", "zephrane_session"), "");
    EXPECT_EQ(cookieValue("", "zephrane_session"), "");
}

}  // namespace
}  // namespace zephrane::web
