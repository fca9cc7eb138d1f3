// Serves the web interface for the browser test without the rest of the system: a fake
// processing instance on a free port and a web server that reaches it over TCP, with the
// login from the environment as in production.
//
// Prints "READY <http port> <json port>". Commands on standard input, one a line:
//   lines  print every JSON line the fake instance received, then "END"
//   down   stop the fake instance;  up  start it again on the same port
//   replace  start a new web server on the same port, then stop the old one (what a
//            cycle-length change does)
//   quit   (or end of input) stop everything
#include <iostream>
#include <memory>
#include <string>

#include "../engine_web/test_support.h"
#include "web_api.h"

int main() {
    using namespace zephrane::web;
    auto fake = std::make_unique<test::FakeJsonServer>();
    uint32_t jsonPort = fake->port();
    uint32_t httpPort = test::freePort();
    WebLog log = [](int severity, const std::string& text) {
        std::cerr << severity << " " << text << std::endl;
    };
    int64_t server = startTcpWebServer(httpPort, 0, "127.0.0.1", jsonPort, {}, log);
    if (server < 0 || (webServerStatus(server) & kStatusHttp) == 0) {
        std::cerr << "web server did not start" << std::endl;
        return 1;
    }
    std::cout << "READY " << httpPort << " " << jsonPort << std::endl;
    std::string command;
    while (std::getline(std::cin, command) && command != "quit") {
        if (command == "lines") {
            for (const std::string& line : fake->lines()) {
                std::cout << line << "\n";
            }
            std::cout << "END" << std::endl;
        } else if (command == "down") {
            fake.reset();
            std::cout << "OK" << std::endl;
        } else if (command == "replace") {
            int64_t replacement = startTcpWebServer(httpPort, 0, "127.0.0.1", jsonPort, {}, log);
            int stopped = stopWebServer(server, 1000);
            server = replacement;
            std::cout << (webServerStatus(server) == kStatusHttp && stopped == 0 ? "OK" : "FAILED")
                      << std::endl;
        } else if (command == "up") {
            fake = std::make_unique<test::FakeJsonServer>(jsonPort);
            std::cout << "OK" << std::endl;
        }
    }
    return stopWebServer(server, 1000);
}
