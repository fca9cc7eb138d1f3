#include "http_wire.h"

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <boost/beast/http/error.hpp>
#include <boost/beast/http/write.hpp>
#include <cctype>
#include <sstream>

namespace zephrane::web {

size_t blankLinePrefix(std::string_view bytes) {
    size_t taken = 0;
    while (bytes.substr(taken, 2) == "\r\n") {
        taken += 2;
    }
    return taken;
}

void limitRequest(RequestParser& parser, size_t blankBytes) {
    parser.header_limit(
        static_cast<std::uint32_t>(kMaxHeaderBytes - std::min(blankBytes, kMaxHeaderBytes - 1)));
    parser.body_limit(kMaxBodyBytes);
}

int checkRequestHead(const RequestParser& parser) {
    const auto& message = parser.get();
    if (message.version() / 10 != 1) {
        return 505;
    }
    std::string_view target = message.target();
    if (target.empty() || target.front() != '/') {
        return 400;
    }
    if (message.version() >= 11 && message.find(http::field::host) == message.end()) {
        return 400;
    }
    if (message.find(http::field::transfer_encoding) != message.end()) {
        return 501;
    }
    return 0;
}

int statusForReadError(const boost::system::error_code& error) {
    if (error == http::error::header_limit) {
        return 431;
    }
    if (error == http::error::body_limit) {
        return 413;
    }
    return 400;
}

HttpRequest toHttpRequest(http::request<http::string_body>&& message) {
    HttpRequest request;
    request.method = std::string(message.method_string());
    request.target = std::string(message.target());
    size_t question = request.target.find('?');
    request.path = request.target.substr(0, question);
    if (question != std::string::npos) {
        request.query = request.target.substr(question + 1);
    }
    request.minorVersion = static_cast<int>(message.version() % 10);
    request.keepAlive = message.keep_alive();
    request.headers.reserve(std::distance(message.begin(), message.end()));
    for (const auto& field : message) {
        std::string name(field.name_string());
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        request.headers.emplace_back(std::move(name), std::string(field.value()));
    }
    request.body = std::move(message.body());
    return request;
}

WireResponse toWireResponse(HttpResponse&& response, bool keepAlive, bool headRequest) {
    WireResponse wire;
    wire.version(11);
    wire.result(static_cast<unsigned>(response.status));
    for (auto& [name, value] : response.headers) {
        wire.insert(name, value);
    }
    if (!response.eventStream) {
        wire.content_length(response.body.size());
        if (!headRequest) {
            wire.body() = std::move(response.body);
        }
    }
    bool kept = keepAlive && !response.closeConnection && !response.eventStream;
    wire.set(http::field::connection, kept ? "keep-alive" : "close");
    return wire;
}

HttpResponse errorResponse(int status) {
    HttpResponse response;
    response.status = status;
    response.set("Content-Type", "application/json");
    std::string reason(http::obsolete_reason(http::int_to_status(static_cast<unsigned>(status))));
    response.body = R"({"error":")" + reason + R"("})";
    return response;
}

HttpParseResult parseHttpRequest(std::string_view buffer, HttpRequest& request) {
    size_t blank = blankLinePrefix(buffer);
    if (blank >= kMaxHeaderBytes) {
        return {HttpParseResult::Error, 0, 431};
    }
    RequestParser parser;
    limitRequest(parser, blank);
    parser.eager(false);
    std::string_view rest = buffer.substr(blank);
    size_t used = 0;
    // Feeds the parser until `done`; a status when the bytes are malformed, 0 when more
    // are needed, -1 when done.
    auto feed = [&](auto done) {
        boost::system::error_code error;
        while (!done()) {
            size_t n = parser.put(boost::asio::buffer(rest.data() + used, rest.size() - used), error);
            used += n;
            if (error == http::error::need_more || (!error && n == 0 && !done())) {
                return 0;
            }
            if (error) {
                return statusForReadError(error);
            }
        }
        return -1;
    };
    if (int fed = feed([&] { return parser.is_header_done(); }); fed >= 0) {
        return fed == 0 ? HttpParseResult{} : HttpParseResult{HttpParseResult::Error, 0, fed};
    }
    if (int refusal = checkRequestHead(parser)) {
        return {HttpParseResult::Error, 0, refusal};
    }
    parser.eager(true);
    if (int fed = feed([&] { return parser.is_done(); }); fed >= 0) {
        return fed == 0 ? HttpParseResult{} : HttpParseResult{HttpParseResult::Error, 0, fed};
    }
    request = toHttpRequest(parser.release());
    return {HttpParseResult::Complete, blank + used, 0};
}

std::string serializeHttpResponse(const HttpResponse& response, bool keepAlive, bool headRequest) {
    std::ostringstream out;
    out << toWireResponse(HttpResponse(response), keepAlive, headRequest);
    return out.str();
}

}  // namespace zephrane::web
