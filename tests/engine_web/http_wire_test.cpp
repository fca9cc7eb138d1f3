#include "http_wire.h"

#include <gtest/gtest.h>

namespace zephrane::web {
namespace {

HttpParseResult parse(const std::string& text, HttpRequest& request) {
    return parseHttpRequest(text, request);
}

TEST(HttpParse, CompleteRequestWithBodyAndQuery) {
    HttpRequest request;
    std::string text =
        "POST /api/control?x=1 HTTP/1.1\r\nHost: a\r\nContent-Length: 12\r\nX-Mixed-Case:  v \r\n\r\n"
        "{\"get\":null}";
    HttpParseResult result = parse(text, request);
    ASSERT_EQ(result.kind, HttpParseResult::Complete);
    EXPECT_EQ(result.consumed, text.size());
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/api/control");
    EXPECT_EQ(request.query, "x=1");
    EXPECT_EQ(request.body, "{\"get\":null}");
    EXPECT_EQ(request.header("x-mixed-case"), "v");
    EXPECT_TRUE(request.keepAlive);
}

TEST(HttpParse, WaitsForTheWholeHeadAndBody) {
    HttpRequest request;
    EXPECT_EQ(parse("GET / HTTP/1.1\r\nHost: a\r\n", request).kind, HttpParseResult::Incomplete);
    EXPECT_EQ(parse("POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 5\r\n\r\nab", request).kind,
              HttpParseResult::Incomplete);
}

TEST(HttpParse, PipelinedRequestsAreTakenOneAtATime) {
    HttpRequest request;
    std::string text = "GET /a HTTP/1.1\r\nHost: x\r\n\r\nGET /b HTTP/1.1\r\nHost: x\r\n\r\n";
    HttpParseResult first = parse(text, request);
    ASSERT_EQ(first.kind, HttpParseResult::Complete);
    EXPECT_EQ(request.path, "/a");
    ASSERT_EQ(parse(text.substr(first.consumed), request).kind, HttpParseResult::Complete);
    EXPECT_EQ(request.path, "/b");
}

TEST(HttpParse, ConnectionPersistenceFollowsTheVersion) {
    HttpRequest request;
    ASSERT_EQ(parse("GET / HTTP/1.1\r\nHost: a\r\nConnection: Close\r\n\r\n", request).kind,
              HttpParseResult::Complete);
    EXPECT_FALSE(request.keepAlive);
    ASSERT_EQ(parse("GET / HTTP/1.0\r\n\r\n", request).kind, HttpParseResult::Complete);
    EXPECT_FALSE(request.keepAlive);
    ASSERT_EQ(parse("GET / HTTP/1.0\r\nConnection: keep-alive\r\n\r\n", request).kind,
              HttpParseResult::Complete);
    EXPECT_TRUE(request.keepAlive);
}

TEST(HttpParse, MalformedRequestsGetTheirStatus) {
    struct Case {
        const char* text;
        int status;
    };
    const Case cases[] = {
        {"GET\r\n\r\n", 400},
        {"GET / HTTP/1.1 extra\r\nHost: a\r\n\r\n", 400},
        {"GET noslash HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"G(T / HTTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", 400},
        {"GET / FTP/1.1\r\nHost: a\r\n\r\n", 400},
        {"GET / HTTP/1.1\r\n\r\n", 400},                            // no Host
        {"GET / HTTP/1.1\r\nHost: a\r\nBad Name: x\r\n\r\n", 400},  // blank in a name
        {"GET / HTTP/1.1\r\nHost: a\r\nX: a\x01b\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: -1\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1x\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1\r\nContent-Length: 2\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 99999999999999999999999\r\n\r\n", 400},
        {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 70000\r\n\r\n", 413},
        {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked\r\n\r\n", 501},
    };
    for (const Case& c : cases) {
        HttpRequest request;
        HttpParseResult result = parse(c.text, request);
        EXPECT_EQ(result.kind, HttpParseResult::Error) << c.text;
        EXPECT_EQ(result.status, c.status) << c.text;
    }
}

TEST(HttpParse, OversizedHeadIsRefusedWithoutWaitingForItsEnd) {
    HttpRequest request;
    std::string text = "GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(kMaxHeaderBytes, 'a');
    HttpParseResult result = parse(text, request);
    EXPECT_EQ(result.kind, HttpParseResult::Error);
    EXPECT_EQ(result.status, 431);
    // A request line of garbage is refused as soon as its line is complete.
    EXPECT_EQ(parse("\x16\x03\x01 hello\r\n", request).kind, HttpParseResult::Error);
}

TEST(HttpParse, BlankLinesBeforeARequestCountAgainstTheHeadLimit) {
    HttpRequest request;
    std::string text = "\r\n\r\nGET /a HTTP/1.1\r\nHost: x\r\n\r\n";
    HttpParseResult result = parse(text, request);
    ASSERT_EQ(result.kind, HttpParseResult::Complete);
    EXPECT_EQ(result.consumed, text.size());
    EXPECT_EQ(request.path, "/a");

    std::string blanks;
    for (size_t i = 0; i < kMaxHeaderBytes / 2; ++i) {
        blanks += "\r\n";
    }
    EXPECT_EQ(parse(blanks, request).status, 431);
    // Fewer blank lines leave less room for the head that follows.
    std::string head =
        "GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(kMaxHeaderBytes / 2, 'a') + "\r\n\r\n";
    EXPECT_EQ(parse(head, request).kind, HttpParseResult::Complete);
    EXPECT_EQ(parse(blanks.substr(0, kMaxHeaderBytes / 2) + head, request).status, 431);
}

TEST(HttpResponseText, CarriesLengthAndConnectionAndOmitsBodyForHead) {
    HttpResponse response;
    response.set("Content-Type", "text/plain");
    response.body = "hello";
    std::string full = serializeHttpResponse(response, true, false);
    EXPECT_EQ(full.rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_NE(full.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_NE(full.find("Connection: keep-alive\r\n"), std::string::npos);
    EXPECT_EQ(full.substr(full.size() - 9), "\r\n\r\nhello");
    std::string head = serializeHttpResponse(response, false, true);
    EXPECT_NE(head.find("Content-Length: 5\r\n"), std::string::npos);
    EXPECT_NE(head.find("Connection: close\r\n"), std::string::npos);
    EXPECT_EQ(head.substr(head.size() - 4), "\r\n\r\n");
}

}  // namespace
}  // namespace zephrane::web
