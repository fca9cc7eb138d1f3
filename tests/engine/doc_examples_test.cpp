// The examples of doc/control-protocol.md, run against the engine: every "json-port"
// block through the control protocol of a fresh engine, every "http-api" block through
// the web interface in front of one. The replies must match what the document shows, so
// the reference cannot drift from the engine. The document explains the block syntax and
// its placeholders ("<number>", "<any>").
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "control_protocol.h"
#include "process_core.h"
#include "process_handle.h"
#include "session.h"
#include "test_support.h"
#include "web_app.h"

namespace zephrane::engine {
namespace {

using nlohmann::json;

struct ExampleLine {
    int number;  // in the document, from 1
    std::string text;
};

struct ExampleBlock {
    std::string kind;  // "json-port" or "http-api"
    bool login = false;
    std::vector<ExampleLine> lines;
};

std::vector<ExampleBlock> readExampleBlocks() {
    std::ifstream in(CONTROL_PROTOCOL_DOC);
    EXPECT_TRUE(in) << "cannot read " << CONTROL_PROTOCOL_DOC;
    std::vector<ExampleBlock> blocks;
    std::string line;
    bool inBlock = false;
    bool tested = false;
    for (int number = 1; std::getline(in, line); ++number) {
        if (line.rfind("```", 0) == 0) {
            if (inBlock) {
                inBlock = false;
                continue;
            }
            inBlock = true;
            std::istringstream info(line.substr(3));
            std::string kind, option;
            info >> kind >> option;
            tested = kind == "json-port" || kind == "http-api";
            if (tested) {
                blocks.push_back({kind, option == "login", {}});
            }
            continue;
        }
        if (inBlock && tested && !line.empty() && line[0] != '#') {
            blocks.back().lines.push_back({number, line});
        }
    }
    EXPECT_FALSE(inBlock) << "a fenced block is not closed";
    return blocks;
}

// "<any>" inside a string stands for any text there.
bool textMatches(std::string_view pattern, std::string_view text) {
    size_t hole = pattern.find("<any>");
    if (hole == std::string_view::npos) {
        return pattern == text;
    }
    std::string_view head = pattern.substr(0, hole);
    std::string_view rest = pattern.substr(hole + 5);
    if (text.substr(0, head.size()) != head) {
        return false;
    }
    for (size_t from = head.size(); from <= text.size(); ++from) {
        if (textMatches(rest, text.substr(from))) {
            return true;
        }
    }
    return false;
}

bool matches(const json& expected, const json& actual) {
    if (expected.is_string()) {
        const auto& text = expected.get_ref<const std::string&>();
        if (text == "<any>") {
            return true;
        }
        if (text == "<number>") {
            return actual.is_number();
        }
        return actual.is_string() && textMatches(text, actual.get_ref<const std::string&>());
    }
    if (expected.is_object()) {
        if (!actual.is_object() || actual.size() != expected.size()) {
            return false;
        }
        for (const auto& [key, value] : expected.items()) {
            if (!actual.contains(key) || !matches(value, actual[key])) {
                return false;
            }
        }
        return true;
    }
    if (expected.is_array()) {
        if (!actual.is_array() || actual.size() != expected.size()) {
            return false;
        }
        for (size_t i = 0; i < expected.size(); ++i) {
            if (!matches(expected[i], actual[i])) {
                return false;
            }
        }
        return true;
    }
    return expected == actual;  // numbers compare by value: 0 and 0.0 are equal
}

// Checks one reply body against the document's; returns false after reporting.
bool expectBody(const ExampleLine& where, const std::string& expectedText, const std::string& actualText) {
    json expected = json::parse(expectedText, nullptr, false);
    if (expected.is_discarded()) {
        ADD_FAILURE() << "control-protocol.md:" << where.number
                      << ": the reply is not JSON: " << expectedText;
        return false;
    }
    json actual = json::parse(actualText, nullptr, false);
    if (actual.is_discarded() || !matches(expected, actual)) {
        ADD_FAILURE() << "control-protocol.md:" << where.number << "\n  document: " << expectedText
                      << "\n  engine:   " << actualText;
        return false;
    }
    return true;
}

// A fresh engine as the document's examples assume it.
struct ExampleEngine {
    ExampleEngine() {
        StoreOptions options;
        options.dir = dir.path();
        bool joined = false;
        core = std::make_shared<ProcessCore>(Session::open(options, {}, joined), 48);
        core->setMetadata("station", "Studio A");
    }
    enginetest::ScratchDir dir;
    std::shared_ptr<ProcessCore> core;
};

// Walks a block's "> request" / "< reply" pairs.
template <typename Exchange>
void runExchanges(const ExampleBlock& block, Exchange exchange) {
    const auto& lines = block.lines;
    for (size_t i = 0; i < lines.size(); ++i) {
        const ExampleLine& request = lines[i];
        if (request.text.rfind("> ", 0) != 0 || i + 1 >= lines.size() ||
            lines[i + 1].text.rfind("< ", 0) != 0) {
            ADD_FAILURE() << "control-protocol.md:" << request.number
                          << ": expected a \"> \" request line followed by a \"< \" reply line";
            return;
        }
        exchange(request, request.text.substr(2), lines[i + 1], lines[i + 1].text.substr(2));
        ++i;
    }
}

std::vector<std::string> requestsShown(const std::vector<ExampleBlock>& blocks) {
    std::vector<std::string> requests;
    for (const ExampleBlock& block : blocks) {
        for (const ExampleLine& line : block.lines) {
            if (line.text.rfind("> ", 0) == 0) {
                requests.push_back(block.kind == "json-port" ? line.text.substr(2) : line.text);
            }
        }
    }
    return requests;
}

TEST(ControlProtocolDocument, JsonPortExamplesGetTheRepliesShown) {
    int exchanges = 0;
    for (const ExampleBlock& block : readExampleBlocks()) {
        if (block.kind != "json-port") {
            continue;
        }
        ExampleEngine engine;
        ClientView client(engine.core);
        runExchanges(block, [&](const ExampleLine&, const std::string& request, const ExampleLine& replyLine,
                                const std::string& expected) {
            expectBody(replyLine, expected, handleControlRequest(client, request));
            ++exchanges;
        });
    }
    EXPECT_GE(exchanges, 40) << "the document lost its JSON port examples";
}

struct HttpExchange {
    std::string method, path, body;
};

HttpExchange parseHttpRequestLine(const std::string& text) {
    HttpExchange request;
    std::istringstream in(text);
    in >> request.method >> request.path;
    std::getline(in >> std::ws, request.body);
    return request;
}

TEST(ControlProtocolDocument, WebApiExamplesGetTheRepliesShown) {
    int exchanges = 0;
    for (const ExampleBlock& block : readExampleBlocks()) {
        if (block.kind != "http-api") {
            continue;
        }
        web::SessionStore::instance().clear();
        web::LoginThrottle::instance().clear();
        ExampleEngine engine;
        web::LoginSettings login;
        if (block.login) {
            login.user = "admin";
            login.secret = "s3cret";
        }
        auto channel = std::make_shared<web::FunctionControlChannel>(makeControlHandler(engine.core));
        web::WebApp app(login, channel, nullptr);
        std::string cookie;  // kept between the requests of a block, as a browser does
        runExchanges(block, [&](const ExampleLine& requestLine, const std::string& requestText,
                                const ExampleLine& replyLine, const std::string& expectedText) {
            HttpExchange sent = parseHttpRequestLine(requestText);
            web::HttpRequest request;
            request.method = sent.method;
            request.path = sent.path;
            request.target = sent.path;
            request.body = sent.body;
            request.headers.emplace_back("host", "127.0.0.1:8080");
            if (!sent.body.empty()) {
                request.headers.emplace_back("content-type", "application/json");
            }
            if (!cookie.empty()) {
                request.headers.emplace_back("cookie", cookie);
            }
            web::HttpResponse response = app.handle(request, web::RequestContext{"127.0.0.1", false});
            if (std::string_view set = response.header("Set-Cookie"); !set.empty()) {
                std::string pair(set.substr(0, set.find(';')));
                cookie = set.find("Max-Age=0") != std::string_view::npos ? "" : pair;
            }

            std::istringstream expected(expectedText);
            int status = 0;
            std::string body;
            expected >> status;
            std::getline(expected >> std::ws, body);
            EXPECT_EQ(response.status, status) << "control-protocol.md:" << replyLine.number << " for "
                                               << requestLine.text << "\n  body: " << response.body;
            if (body.empty()) {
                EXPECT_EQ(response.body, "") << "control-protocol.md:" << replyLine.number;
            } else {
                expectBody(replyLine, body, response.body);
            }
            ++exchanges;
        });
    }
    EXPECT_GE(exchanges, 15) << "the document lost its web API examples";
}

// Every command, preset action and API route has an example that is run.
TEST(ControlProtocolDocument, ExamplesCoverEveryCommandAndRoute) {
    std::vector<std::string> requests = requestsShown(readExampleBlocks());
    auto shown = [&](const std::string& part) {
        for (const std::string& request : requests) {
            if (request.find(part) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    for (const char* part : {R"({"get":)", R"({"change":)", R"({"set":)", R"({"preset":{"save":)",
                             R"({"preset":{"load":)", R"({"preset":{"list":)", R"({"preset":{"delete":)",
                             "/api/session", "/api/login", "/api/logout", "/api/control"}) {
        EXPECT_TRUE(shown(part)) << "no example for " << part;
    }
}

TEST(ControlProtocolDocument, PlaceholdersMatchOnlyWhatTheySay) {
    EXPECT_TRUE(matches(json("<any>"), json::array()));
    EXPECT_TRUE(matches(json("<number>"), json(-3.5)));
    EXPECT_FALSE(matches(json("<number>"), json("3")));
    EXPECT_TRUE(matches(json("malformed JSON: <any>"), json("malformed JSON: at line 1")));
    EXPECT_FALSE(matches(json("malformed JSON: <any>"), json("bad JSON: at line 1")));
    EXPECT_TRUE(matches(json::parse(R"({"a":0.0})"), json::parse(R"({"a":0})")));
    EXPECT_FALSE(matches(json::parse(R"({"a":1})"), json::parse(R"({"a":1,"b":2})")));
    EXPECT_FALSE(matches(json::parse(R"([1,2])"), json::parse(R"([2,1])")));
}

}  // namespace
}  // namespace zephrane::engine
