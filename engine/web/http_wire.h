#pragma once

// The wire side of one HTTP exchange, on Boost.Beast: the limits and checks a request
// gets while it is read, and the conversion from and to the application's plain request
// and response.
#include <boost/beast/http/message.hpp>
#include <boost/beast/http/parser.hpp>
#include <boost/beast/http/string_body.hpp>
#include <boost/system/error_code.hpp>
#include <string>
#include <string_view>

#include "http_message.h"

namespace zephrane::web {

namespace http = boost::beast::http;
using RequestParser = http::request_parser<http::string_body>;
using WireResponse = http::response<http::string_body>;

// Length of the blank lines (CR LF pairs) at the front of the bytes. A browser may send
// one between requests on a kept connection; they are dropped before parsing, and count
// against the header limit of the request that follows.
size_t blankLinePrefix(std::string_view bytes);

// Limits a fresh parser: the head within kMaxHeaderBytes less the blank lines already
// taken, the body within kMaxBodyBytes.
void limitRequest(RequestParser& parser, size_t blankBytes);

// Once the head is read: 0 when the request may go on, else the status to refuse it
// with (505 for a version other than 1.x, 400 for a target that is no path or an
// HTTP/1.1 request without Host, 501 for a Transfer-Encoding: bodies are small JSON).
int checkRequestHead(const RequestParser& parser);

// The status that answers a request that could not be read: 431 for a head too large,
// 413 for a body too large, 400 for anything malformed.
int statusForReadError(const boost::system::error_code& error);

HttpRequest toHttpRequest(http::request<http::string_body>&& message);
// With Content-Length (of the full body, also for HEAD, which gets no body) and an
// explicit Connection header. An event stream gets neither length nor body.
WireResponse toWireResponse(HttpResponse&& response, bool keepAlive, bool headRequest);
// {"error":"<reason phrase>"} with the status.
HttpResponse errorResponse(int status);

// The same reading rules over bytes in memory (the tests and the fuzz target use them).
struct HttpParseResult {
    enum Kind { Incomplete, Complete, Error } kind = Incomplete;
    size_t consumed = 0;  // bytes of the buffer that made the request (Complete)
    int status = 0;       // the HTTP status to answer with (Error)
};
HttpParseResult parseHttpRequest(std::string_view buffer, HttpRequest& request);

// The response as it goes on the wire.
std::string serializeHttpResponse(const HttpResponse& response, bool keepAlive, bool headRequest);

}  // namespace zephrane::web
