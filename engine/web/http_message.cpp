#include "http_message.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace zephrane::web {

namespace {

bool isTokenChar(char c) {
    if (std::isalnum(static_cast<unsigned char>(c))) {
        return true;
    }
    return std::string_view("!#$%&'*+-.^_`|~").find(c) != std::string_view::npos;
}

bool isToken(std::string_view s) {
    return !s.empty() && std::all_of(s.begin(), s.end(), isTokenChar);
}

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimOws(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) {
        s.remove_suffix(1);
    }
    return s;
}

bool hasToken(std::string_view list, std::string_view token) {
    std::string lowered = lower(list);
    size_t start = 0;
    while (start <= lowered.size()) {
        size_t comma = lowered.find(',', start);
        std::string_view item = trimOws(std::string_view(lowered).substr(
            start, comma == std::string::npos ? std::string::npos : comma - start));
        if (item == token) {
            return true;
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return false;
}

HttpParseResult error(int status) {
    return {HttpParseResult::Error, 0, status};
}

}  // namespace

std::string_view HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

HttpParseResult parseHttpRequest(std::string_view buffer, HttpRequest& request) {
    // Browsers may send an empty line between requests on a kept connection.
    size_t skipped = 0;
    while (buffer.substr(skipped, 2) == "\r\n") {
        skipped += 2;
    }
    std::string_view data = buffer.substr(skipped);
    size_t headerEnd = data.find("\r\n\r\n");
    if (headerEnd == std::string_view::npos) {
        if (data.size() > kMaxHeaderBytes) {
            return error(431);
        }
        // A request line that cannot become valid need not wait for more bytes.
        size_t firstLineEnd = data.find("\r\n");
        if (firstLineEnd != std::string_view::npos &&
            !isToken(data.substr(0, std::min(firstLineEnd, data.find(' '))))) {
            return error(400);
        }
        return {};
    }
    if (headerEnd > kMaxHeaderBytes) {
        return error(431);
    }
    HttpRequest parsed;
    std::string_view head = data.substr(0, headerEnd);
    size_t lineEnd = head.find("\r\n");
    std::string_view requestLine = head.substr(0, lineEnd);
    std::string_view rest = lineEnd == std::string_view::npos ? std::string_view() : head.substr(lineEnd + 2);

    size_t sp1 = requestLine.find(' ');
    size_t sp2 = sp1 == std::string_view::npos ? sp1 : requestLine.find(' ', sp1 + 1);
    if (sp2 == std::string_view::npos || requestLine.find(' ', sp2 + 1) != std::string_view::npos) {
        return error(400);
    }
    std::string_view method = requestLine.substr(0, sp1);
    std::string_view target = requestLine.substr(sp1 + 1, sp2 - sp1 - 1);
    std::string_view version = requestLine.substr(sp2 + 1);
    if (!isToken(method) || target.empty() || target.front() != '/') {
        return error(400);
    }
    for (char c : target) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7f) {
            return error(400);
        }
    }
    if (version.size() != 8 || version.substr(0, 7) != "HTTP/1." ||
        !std::isdigit((unsigned char)version[7])) {
        return version.substr(0, 5) == "HTTP/" ? error(505) : error(400);
    }
    parsed.method = std::string(method);
    parsed.target = std::string(target);
    size_t question = target.find('?');
    parsed.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) {
        parsed.query = std::string(target.substr(question + 1));
    }
    parsed.minorVersion = version[7] - '0';

    bool haveLength = false;
    size_t contentLength = 0;
    while (!rest.empty()) {
        size_t end = rest.find("\r\n");
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 2);
        size_t colon = line.find(':');
        // No folded lines, no blanks before the colon, no control characters.
        if (colon == std::string_view::npos || !isToken(line.substr(0, colon))) {
            return error(400);
        }
        std::string_view value = trimOws(line.substr(colon + 1));
        for (char c : value) {
            if ((static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7f) {
                return error(400);
            }
        }
        std::string name = lower(line.substr(0, colon));
        if (name == "content-length") {
            size_t length = 0;
            auto [ptr, ec] = std::from_chars(value.data(), value.data() + value.size(), length);
            if (value.empty() || ec != std::errc() || ptr != value.data() + value.size()) {
                return error(ec == std::errc::result_out_of_range ? 413 : 400);
            }
            if (haveLength && length != contentLength) {
                return error(400);  // conflicting lengths: a request smuggling attempt
            }
            haveLength = true;
            contentLength = length;
        } else if (name == "transfer-encoding") {
            return error(501);  // request bodies are small JSON lines; no chunked uploads
        }
        if (parsed.headers.size() >= 100) {
            return error(431);
        }
        parsed.headers.emplace_back(std::move(name), std::string(value));
    }
    if (parsed.minorVersion >= 1 && parsed.header("host").empty()) {
        return error(400);
    }
    if (contentLength > kMaxBodyBytes) {
        return error(413);
    }
    size_t bodyStart = skipped + headerEnd + 4;
    if (buffer.size() - bodyStart < contentLength) {
        return {};
    }
    parsed.body = std::string(buffer.substr(bodyStart, contentLength));
    std::string_view connection = parsed.header("connection");
    parsed.keepAlive =
        parsed.minorVersion >= 1 ? !hasToken(connection, "close") : hasToken(connection, "keep-alive");
    request = std::move(parsed);
    return {HttpParseResult::Complete, bodyStart + contentLength, 0};
}

void HttpResponse::set(std::string name, std::string value) {
    for (auto& [key, existing] : headers) {
        if (lower(key) == lower(name)) {
            existing = std::move(value);
            return;
        }
    }
    headers.emplace_back(std::move(name), std::move(value));
}

std::string_view HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (lower(key) == lower(name)) {
            return value;
        }
    }
    return {};
}

const char* httpReasonPhrase(int status) {
    switch (status) {
        case 200:
            return "OK";
        case 204:
            return "No Content";
        case 304:
            return "Not Modified";
        case 400:
            return "Bad Request";
        case 401:
            return "Unauthorized";
        case 403:
            return "Forbidden";
        case 404:
            return "Not Found";
        case 405:
            return "Method Not Allowed";
        case 408:
            return "Request Timeout";
        case 413:
            return "Content Too Large";
        case 415:
            return "Unsupported Media Type";
        case 421:
            return "Misdirected Request";
        case 429:
            return "Too Many Requests";
        case 431:
            return "Request Header Fields Too Large";
        case 500:
            return "Internal Server Error";
        case 501:
            return "Not Implemented";
        case 502:
            return "Bad Gateway";
        case 503:
            return "Service Unavailable";
        case 505:
            return "HTTP Version Not Supported";
        default:
            return "Unknown";
    }
}

std::string serializeHttpResponse(const HttpResponse& response, bool keepAlive, bool headRequest) {
    std::string out =
        "HTTP/1.1 " + std::to_string(response.status) + " " + httpReasonPhrase(response.status) + "\r\n";
    for (const auto& [name, value] : response.headers) {
        out += name + ": " + value + "\r\n";
    }
    if (!response.eventStream) {
        out += "Content-Length: " + std::to_string(response.body.size()) + "\r\n";
    }
    out += keepAlive && !response.closeConnection && !response.eventStream ? "Connection: keep-alive\r\n"
                                                                           : "Connection: close\r\n";
    out += "\r\n";
    if (!headRequest && !response.eventStream) {
        out += response.body;
    }
    return out;
}

}  // namespace zephrane::web
