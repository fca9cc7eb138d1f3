#include "web_app.h"

#include <nlohmann/json.hpp>

#include "change_text.h"
#include "host_check.h"
#include "log_text.h"
#include "net/json_depth.h"

namespace zephrane::web {

namespace {

using Json = nlohmann::json;

HttpResponse jsonResponse(int status, const std::string& body) {
    HttpResponse response;
    response.status = status;
    response.set("Content-Type", "application/json");
    response.set("Cache-Control", "no-store");
    response.body = body;
    return response;
}

HttpResponse jsonError(int status, const std::string& message) {
    return jsonResponse(status, Json{{"error", message}}.dump());
}

HttpResponse methodNotAllowed(const char* allow) {
    HttpResponse response = jsonError(405, "method not allowed");
    response.set("Allow", allow);
    return response;
}

std::string sessionCookie(const std::string& token, bool https, bool expire) {
    std::string cookie = std::string(kSessionCookie) + "=" + token + "; Path=/; HttpOnly; SameSite=Strict";
    cookie +=
        expire ? "; Max-Age=0"
               : "; Max-Age=" + std::to_string(std::chrono::seconds(SessionStore::kAbsoluteLifetime).count());
    if (https) {
        cookie += "; Secure";
    }
    return cookie;
}

Json parseBody(const std::string& body) {
    // The engine's commands are a few levels deep; refusing deep nesting early keeps the
    // recursive parts of JSON handling (serialising) within a small stack.
    return net::jsonNestingWithin(body, 32) ? Json::parse(body, nullptr, false)
                                            : Json(Json::value_t::discarded);
}

// A JSON body cannot come from a plain cross-site form, and a browser names the page's
// origin on a POST: it must be this server.
bool sameOriginJson(const HttpRequest& request) {
    std::string_view type = request.header("content-type");
    type = type.substr(0, type.find(';'));
    while (!type.empty() && type.back() == ' ') {
        type.remove_suffix(1);
    }
    if (type != "application/json") {
        return false;
    }
    std::string_view origin = request.header("origin");
    if (origin.empty()) {
        return true;  // not sent by a browser
    }
    size_t scheme = origin.find("://");
    return scheme != std::string_view::npos && origin.substr(scheme + 3) == request.header("host");
}

bool isGetOrHead(const HttpRequest& request) {
    return request.method == "GET" || request.method == "HEAD";
}

// The same tree with null at every leaf: what a get of exactly those values asks for.
Json selectorFor(const Json& patch) {
    if (!patch.is_object()) {
        return nullptr;
    }
    Json selector = Json::object();
    for (const auto& [key, value] : patch.items()) {
        selector[key] = selectorFor(value);
    }
    return selector;
}

// A reply that reports success: an object without "error".
std::optional<Json> successfulReply(const std::string& reply) {
    Json parsed = parseBody(reply);
    if (!parsed.is_object() || parsed.contains("error")) {
        return std::nullopt;
    }
    return parsed;
}

void addCommonHeaders(HttpResponse& response) {
    response.set("X-Content-Type-Options", "nosniff");
    response.set("X-Frame-Options", "DENY");
    response.set("Referrer-Policy", "no-referrer");
}

}  // namespace

std::string_view cookieValue(std::string_view header, std::string_view name) {
    while (!header.empty()) {
        size_t semicolon = header.find(';');
        std::string_view item = header.substr(0, semicolon);
        header = semicolon == std::string_view::npos ? std::string_view() : header.substr(semicolon + 1);
        while (!item.empty() && item.front() == ' ') {
            item.remove_prefix(1);
        }
        size_t equals = item.find('=');
        if (equals != std::string_view::npos && item.substr(0, equals) == name) {
            std::string_view value = item.substr(equals + 1);
            while (!value.empty() && value.back() == ' ') {
                value.remove_suffix(1);
            }
            return value;
        }
    }
    return {};
}

WebApp::WebApp(LoginSettings login, std::shared_ptr<ControlChannel> channel, WebLog log)
    : login_(std::move(login)), channel_(std::move(channel)), log_(std::move(log)) {}

std::optional<std::string> WebApp::sessionUser(const HttpRequest& request,
                                               const RequestContext& context) const {
    if (!login_.enabled()) {
        return std::string();
    }
    return SessionStore::instance().userOf(cookieValue(request.header("cookie"), kSessionCookie),
                                           context.now);
}

std::string WebApp::who(const RequestContext& context, const std::string& user) const {
    std::string address = engine::logText(context.peerAddress);
    return login_.enabled() ? "user " + engine::logText(user) + " at " + address : address;
}

HttpResponse WebApp::handle(const HttpRequest& request, const RequestContext& context) {
    HttpResponse response;
    const std::string& path = request.path;
    if (!hostAllowed(request.header("host"), login_.hostNames)) {
        // Another site's name pointed at this machine (DNS rebinding): its pages must not
        // pass as this server's own.
        webLog(log_, kWebVerbose,
               "Web server: refused a request from " + engine::logText(context.peerAddress) + " for host " +
                   engine::logText(request.header("host")));
        response = jsonError(421, "unknown host name; add it to WEB_HOSTS");
    } else if (request.method == "POST" && path.rfind("/api/", 0) == 0 && !sameOriginJson(request)) {
        // Another site's page could otherwise post a form to a device on the operator's
        // network (the interface may be open, without login): only the page's own
        // JSON requests get through.
        response = jsonError(403, "cross-site request refused");
    } else if (path.rfind("/api/", 0) != 0) {
        const StaticFile* file = findStaticFile(path);
        if (file == nullptr) {
            response = jsonError(404, "not found");
        } else if (!isGetOrHead(request)) {
            response = methodNotAllowed("GET, HEAD");
        } else {
            response.set("Content-Type", std::string(file->contentType));
            response.set("Cache-Control", "no-cache");
            response.set(
                "Content-Security-Policy",
                "default-src 'self'; img-src 'self' data:; connect-src 'self'; frame-ancestors 'none'");
            response.body = std::string(file->body);
        }
    } else if (path == "/api/session") {
        response = isGetOrHead(request)
                       ? jsonResponse(200, Json{{"login", login_.enabled()},
                                                {"authenticated", authorized(request, context)}}
                                               .dump())
                       : methodNotAllowed("GET, HEAD");
    } else if (path == "/api/login") {
        response = request.method == "POST" ? login(request, context) : methodNotAllowed("POST");
    } else if (path == "/api/logout") {
        response = request.method == "POST" ? logout(request, context) : methodNotAllowed("POST");
    } else if (path == "/api/control") {
        std::optional<std::string> user;
        if (request.method != "POST") {
            response = methodNotAllowed("POST");
        } else if (!(user = sessionUser(request, context))) {
            response = jsonError(401, "login required");
        } else {
            response = control(request, who(context, *user));
        }
    } else if (path == "/api/events") {
        if (request.method != "GET") {
            response = methodNotAllowed("GET");
        } else if (!authorized(request, context)) {
            response = jsonError(401, "login required");
        } else {
            response.set("Content-Type", "text/event-stream");
            response.set("Cache-Control", "no-store");
            response.eventStream = true;
        }
    } else {
        response = jsonError(404, "not found");
    }
    addCommonHeaders(response);
    return response;
}

HttpResponse WebApp::login(const HttpRequest& request, const RequestContext& context) {
    if (!login_.enabled()) {
        return jsonResponse(200, R"({"authenticated":true})");
    }
    auto wait = LoginThrottle::instance().wait(context.peerAddress, context.now);
    if (wait.count() > 0) {
        HttpResponse response = jsonError(429, "too many failed logins, wait");
        response.set("Retry-After", std::to_string((wait.count() + 999) / 1000));
        return response;
    }
    Json body = parseBody(request.body);
    if (!body.is_object() || !body.contains("user") || !body.contains("secret") ||
        !body["user"].is_string() || !body["secret"].is_string()) {
        return jsonError(400, "expected {\"user\":..., \"secret\":...}");
    }
    const std::string& user = body["user"].get_ref<const std::string&>();
    if (!credentialsMatch(login_, user, body["secret"].get_ref<const std::string&>())) {
        LoginThrottle::instance().failed(context.peerAddress, context.now);
        webLog(log_, kWebInfo,
               "Web server: failed login from " + engine::logText(context.peerAddress) + " as user " +
                   engine::logText(user));
        return jsonError(401, "wrong user or secret");
    }
    LoginThrottle::instance().succeeded(context.peerAddress);
    HttpResponse response = jsonResponse(200, R"({"authenticated":true})");
    response.set("Set-Cookie",
                 sessionCookie(SessionStore::instance().create(context.now, user), context.https, false));
    webLog(log_, kWebInfo, "Web server: " + who(context, user) + ": logged in");
    return response;
}

HttpResponse WebApp::logout(const HttpRequest& request, const RequestContext& context) {
    std::optional<std::string> user =
        SessionStore::instance().remove(cookieValue(request.header("cookie"), kSessionCookie));
    if (user && login_.enabled()) {
        webLog(log_, kWebInfo, "Web server: " + who(context, *user) + ": logged out");
    }
    HttpResponse response = jsonResponse(200, R"({"authenticated":false})");
    response.set("Set-Cookie", sessionCookie("", context.https, true));
    return response;
}

Json WebApp::currentValues(const Json& patch) {
    std::optional<std::string> reply = channel_->request(
        Json{{"get", selectorFor(patch)}}.dump(-1, ' ', false, Json::error_handler_t::replace));
    std::optional<Json> values = reply ? successfulReply(*reply) : std::nullopt;
    return values ? *values : Json();
}

HttpResponse WebApp::control(const HttpRequest& request, const std::string& who) {
    // Re-serialised so the line sent on is exactly one line of compact JSON whatever
    // white space the page used.
    Json command = parseBody(request.body);
    if (command.is_discarded() || !command.is_object()) {
        return jsonError(400, "expected one JSON object");
    }
    if (!channel_) {
        return jsonError(503, "disconnected");
    }
    // The instance (maybe another program) logs what its port's clients do, but only
    // this server knows the person behind a change: the line naming them is written
    // here, with the values from before the change.
    bool isSet = command.size() == 1 && command.contains("set") && command["set"].is_object();
    Json before = isSet ? currentValues(command["set"]) : Json();
    std::optional<std::string> reply =
        channel_->request(command.dump(-1, ' ', false, Json::error_handler_t::replace));
    if (!reply) {
        return jsonError(503, "disconnected");
    }
    std::optional<Json> done = successfulReply(*reply);
    if (done && isSet) {
        webLog(log_, kWebInfo,
               "Web server: " + who + ": set " + engine::describeSettingChanges(before, *done));
    } else if (done && command.size() == 1 && command.contains("preset") && command["preset"].is_object() &&
               command["preset"].size() == 1 && command["preset"].begin().key() != "list") {
        const auto& action = command["preset"].begin();
        webLog(log_, kWebInfo,
               "Web server: " + who + ": preset " + engine::logText(action.key()) + " " +
                   engine::logText(engine::auditValue(action.value())));
    }
    return jsonResponse(200, *reply);
}

}  // namespace zephrane::web
