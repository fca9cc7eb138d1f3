// Fuzz target over request handling without sockets: parsing (pipelined requests) and
// routing with login on, plus the same bytes as a control or login body. Built with
// -fsanitize=fuzzer it is a libFuzzer target; otherwise the bounded driver below mutates
// built-in seeds deterministically, so ctest runs it with g++.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "http_wire.h"
#include "web_app.h"

namespace {

using namespace zephrane::web;

class EchoChannel : public ControlChannel {
  public:
    std::optional<std::string> request(const std::string& line) override {
        if (line.find('\n') != std::string::npos) {
            std::abort();  // the app must never send two lines as one request
        }
        if (line.size() % 7 == 0) {
            return std::nullopt;
        }
        return line;
    }
    bool connected() const override { return true; }
};

long routed = 0;  // requests that got through parsing to the app

void check(bool condition, const char* what) {
    if (!condition) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void checkResponse(const HttpResponse& response) {
    check(response.status >= 200 && response.status <= 599, "status in range");
    std::string text = serializeHttpResponse(response, true, false);
    check(text.rfind("HTTP/1.1 ", 0) == 0, "status line");
    for (const auto& [name, value] : response.headers) {
        check(name.find_first_of("\r\n") == std::string::npos, "header name without line ends");
        check(value.find_first_of("\r\n") == std::string::npos, "header value without line ends");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // The seeds' host names, so requests get past the Host check.
    static WebApp app(LoginSettings{"admin", "pw", {"a", "x"}}, std::make_shared<EchoChannel>(), nullptr);
    static WebApp openApp(LoginSettings{"", "", {"a", "x"}}, std::make_shared<EchoChannel>(), nullptr);
    std::string_view input(reinterpret_cast<const char*>(data), size);
    RequestContext context{"192.0.2.1", (size & 1) != 0, Clock::now()};

    std::string_view rest = input;
    for (int i = 0; i < 16 && !rest.empty(); ++i) {
        HttpRequest request;
        HttpParseResult result = parseHttpRequest(rest, request);
        if (result.kind == HttpParseResult::Incomplete) {
            break;
        }
        if (result.kind == HttpParseResult::Error) {
            check(result.status >= 400 && result.status <= 599, "error status");
            break;
        }
        check(result.consumed > 0 && result.consumed <= rest.size(), "consumed within the buffer");
        check(request.body.size() <= kMaxBodyBytes, "body bounded");
        ++routed;
        checkResponse(app.handle(request, context));
        checkResponse(openApp.handle(request, context));
        rest.remove_prefix(result.consumed);
    }

    for (const char* path : {"/api/control", "/api/login"}) {
        HttpRequest request;
        request.method = "POST";
        request.path = request.target = path;
        request.headers.emplace_back("host", "x");
        request.headers.emplace_back("content-type", "application/json");
        request.body = std::string(input.substr(0, kMaxBodyBytes));
        checkResponse(openApp.handle(request, context));
    }
    return 0;
}

#ifndef ZEPHRANE_LIBFUZZER
namespace {

const char* const kSeeds[] = {
    "GET / HTTP/1.1\r\nHost: a\r\n\r\n",
    "GET /app.js HTTP/1.1\r\nHost: a\r\nConnection: close\r\n\r\nHEAD /app.css HTTP/1.0\r\n\r\n",
    "POST /api/control HTTP/1.1\r\nHost: a\r\nContent-Type: application/json\r\nContent-Length: "
    "27\r\n\r\n{\"set\":{\"in\":{\"gain\":-30}}}",
    "POST /api/login HTTP/1.1\r\nHost: a\r\nOrigin: http://a\r\nContent-Type: "
    "application/json\r\nContent-Length: 30\r\n\r\n{\"user\":\"admin\",\"secret\":\"pw\"}",
    "GET /api/events HTTP/1.1\r\nHost: a\r\nCookie: zephrane_session=00; b=1\r\n\r\n",
    "POST /api/logout HTTP/1.1\r\nHost: a\r\nContent-Type: application/json\r\nContent-Length: 0\r\n\r\n",
    "GET /api/session?x=%00 HTTP/1.1\r\nHost: a\r\n\r\n",
    "{\"get\":{\"in\":null}}",
    "{\"preset\":{\"save\":\"a\\u0000\\ud800\"}}",
    "[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]",
};

const char* const kTokens[] = {"\r\n",
                               "\r\n\r\n",
                               ":",
                               " ",
                               "Content-Length: ",
                               "Transfer-Encoding: chunked",
                               "Host: x",
                               "HTTP/1.1",
                               "/api/",
                               "{",
                               "}",
                               "\"",
                               "\\",
                               "\xff",
                               "\0",
                               "99999999999"};

std::string mutate(std::string s, std::mt19937& rng) {
    int rounds = 1 + static_cast<int>(rng() % 4);
    for (int r = 0; r < rounds; ++r) {
        size_t at = s.empty() ? 0 : rng() % (s.size() + 1);
        switch (rng() % 6) {
            case 0:
                if (!s.empty() && at < s.size()) {
                    s[at] = static_cast<char>(s[at] ^ (1 << (rng() % 8)));
                }
                break;
            case 1:
                s.insert(at, 1, static_cast<char>(rng()));
                break;
            case 2:
                if (at < s.size()) {
                    s.erase(at, 1 + rng() % std::min<size_t>(16, s.size() - at));
                }
                break;
            case 3: {
                const char* token = kTokens[rng() % std::size(kTokens)];
                s.insert(at, token, std::max<size_t>(1, std::strlen(token)));
                break;
            }
            case 4:
                if (!s.empty()) {
                    size_t from = rng() % s.size();
                    s.insert(at, s.substr(from, 1 + rng() % 64));
                }
                break;
            default:
                s.insert(at, kSeeds[rng() % std::size(kSeeds)]);
                break;
        }
        if (s.size() > 200000) {
            s.resize(200000);
        }
    }
    return s;
}

}  // namespace

// zephrane_web_request_fuzz [iterations] [files to replay...]
int main(int argc, char** argv) {
    long iterations = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 50000;
    for (int i = 2; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        std::string data((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
    }
    std::mt19937 rng(20261208);
    std::vector<std::string> pool(std::begin(kSeeds), std::end(kSeeds));
    for (long i = 0; i < iterations; ++i) {
        std::string input = mutate(pool[rng() % pool.size()], rng);
        LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
        if (pool.size() < 256 && rng() % 16 == 0) {
            pool.push_back(std::move(input));  // keeps some mutants so changes pile up
        }
    }
    std::printf("%ld inputs, %ld parsed requests routed\n", iterations, routed);
    return 0;
}
#endif
