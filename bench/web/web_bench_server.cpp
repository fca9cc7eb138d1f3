// Serves the engine's web interface, login off, over HTTP and HTTPS against a processing
// core that answers from memory, so that a load generator measures the web layer alone.
//
//   web_bench_server STORAGE_DIR
// The self-signed certificate is made in STORAGE_DIR. Prints "READY <http port> <https port>"
// and serves until its standard input ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <iostream>
#include <string>

#include "web_api.h"

namespace {

// A port free on loopback right now; the kernel hands out a different one on each call.
uint32_t freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// What a small processing instance answers to a read of its settings.
std::string answerControl(const std::string&) {
    return R"({"in":{"gain":0.0,"mute":false},"info":{"version":"bench","rate":48000,"chunk":12}})";
}

}  // namespace

int main(int argc, char** argv) {
    using namespace zephrane::web;
    if (argc != 2) {
        std::cerr << "usage: web_bench_server STORAGE_DIR" << std::endl;
        return 2;
    }
    uint32_t httpPort = freePort();
    uint32_t httpsPort = freePort();
    while (httpsPort == httpPort) {
        httpsPort = freePort();
    }
    WebLog log = [](int severity, const std::string& text) {
        if (severity <= kWebWarn) {
            std::cerr << severity << " " << text << std::endl;
        }
    };
    int64_t server = startInProcessWebServer(httpPort, httpsPort, answerControl, argv[1], false, log);
    if (server < 0 || webServerStatus(server) != (kStatusHttp | kStatusHttps)) {
        std::cerr << "web server did not start" << std::endl;
        return 1;
    }
    std::cout << "READY " << httpPort << " " << httpsPort << std::endl;
    std::string line;
    while (std::getline(std::cin, line) && line != "quit") {
    }
    return stopWebServer(server, 1000) == 0 ? 0 : 1;
}
