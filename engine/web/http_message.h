#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zephrane::web {

inline constexpr size_t kMaxHeaderBytes = 16 * 1024;
inline constexpr size_t kMaxBodyBytes = 64 * 1024;

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

struct HttpParseResult {
    enum Kind { Incomplete, Complete, Error } kind = Incomplete;
    size_t consumed = 0;  // bytes of the buffer that made the request (Complete)
    int status = 0;       // the HTTP status to answer with (Error)
};

// Parses one request from the front of the buffer. Bounded: headers above kMaxHeaderBytes
// and bodies above kMaxBodyBytes are errors, so a client cannot make the server buffer
// without limit.
HttpParseResult parseHttpRequest(std::string_view buffer, HttpRequest& request);

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

const char* httpReasonPhrase(int status);

// Status line, headers (with Content-Length unless an event stream) and body. A HEAD
// request gets the headers of the full response and no body.
std::string serializeHttpResponse(const HttpResponse& response, bool keepAlive, bool headRequest);

}  // namespace zephrane::web
