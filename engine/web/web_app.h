#pragma once

#include <memory>
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
// driven directly by tests and the fuzz target.
class WebApp {
  public:
    WebApp(LoginSettings login, std::shared_ptr<ControlChannel> channel, WebLog log);

    HttpResponse handle(const HttpRequest& request, const RequestContext& context);
    bool loginEnabled() const { return login_.enabled(); }

  private:
    bool authorized(const HttpRequest& request, const RequestContext& context) const;
    HttpResponse login(const HttpRequest& request, const RequestContext& context);
    HttpResponse logout(const HttpRequest& request, const RequestContext& context);
    HttpResponse control(const HttpRequest& request);

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
