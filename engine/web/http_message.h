#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zephrane::web {

// Limits of one request: blank lines before it count against the header limit.
inline constexpr size_t kMaxHeaderBytes = 16 * 1024;
inline constexpr size_t kMaxBodyBytes = 64 * 1024;

// One request and one response as the web application sees them; the server converts
// them from and to the wire (http_wire.h).
struct HttpRequest {
    std::string method;
    std::string target;  // as sent: path and query
    std::string path;    // target up to '?'
    std::string query;
    int minorVersion = 1;                                      // HTTP/1.x
    std::vector<std::pair<std::string, std::string>> headers;  // names in lower case
    std::string body;
    bool keepAlive = true;

    // The first header of that (lower-case) name, or empty.
    std::string_view header(std::string_view name) const;
};

struct HttpResponse {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    // The connection turns into a server-sent event stream after the headers.
    bool eventStream = false;
    bool closeConnection = false;

    void set(std::string name, std::string value);
    std::string_view header(std::string_view name) const;
};

}  // namespace zephrane::web
