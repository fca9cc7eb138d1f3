#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>

#include "auth.h"
#include "control_channel.h"
#include "http_message.h"
#include "web_log.h"

namespace zephrane::web {

inline constexpr const char* kSessionCookie = "zephrane_session";

struct RequestContext {
    std::string peerAddress;
    bool https = false;
    Clock::time_point now = Clock::now();
};

// What the server answers to one parsed request: the page, the login, and the control
// commands passed through to the processing instance. No sockets here, so it can be
// driven directly by tests and the fuzz target. Requests naming a host that is not this
// server's are refused (421). Every change (settings, presets, login, logout, a failed
// login) is one INFO line naming who made it.
class WebApp {
  public:
    WebApp(LoginSettings login, std::shared_ptr<ControlChannel> channel, WebLog log);

    HttpResponse handle(const HttpRequest& request, const RequestContext& context);
    bool loginEnabled() const { return login_.enabled(); }

  private:
    // The logged-in user ("" with login off), or nothing when the request may not pass.
    std::optional<std::string> sessionUser(const HttpRequest& request, const RequestContext& context) const;
    bool authorized(const HttpRequest& request, const RequestContext& context) const {
        return sessionUser(request, context).has_value();
    }
    HttpResponse login(const HttpRequest& request, const RequestContext& context);
    HttpResponse logout(const HttpRequest& request, const RequestContext& context);
    HttpResponse control(const HttpRequest& request, const std::string& who);
    // The values a set command is about to change, as the instance has them now.
    nlohmann::json currentValues(const nlohmann::json& patch);
    // "user admin at 10.0.0.1", or the address alone with login off; escaped for the log.
    std::string who(const RequestContext& context, const std::string& user) const;

    LoginSettings login_;
    std::shared_ptr<ControlChannel> channel_;
    WebLog log_;
};

// Value of one cookie in a Cookie header, or empty.
std::string_view cookieValue(std::string_view cookieHeader, std::string_view name);

// Built-in files: the page, its script and its style sheet.
struct StaticFile {
    std::string_view path;
    std::string_view contentType;
    std::string_view body;
};
const StaticFile* findStaticFile(std::string_view path);

}  // namespace zephrane::web
