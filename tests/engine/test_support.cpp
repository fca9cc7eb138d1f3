#include "test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

#include "zephrane_engine.h"

namespace enginetest {

namespace {
std::mutex logMutex;
std::vector<LogCapture::Line> logLines;

void capture(int severity, const char* text) {
    std::lock_guard lock(logMutex);
    logLines.push_back({severity, text});
}
}  // namespace

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "engine-test-XXXXXX").string();
    char* made = ::mkdtemp(pattern.data());
    path_ = made != nullptr ? made : "";
}

ScratchDir::~ScratchDir() {
    std::error_code error;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 error);
    std::filesystem::remove_all(path_, error);
}

std::vector<std::string> ScratchDir::list() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

bool fileExists(const std::string& path) {
    return std::filesystem::exists(path);
}

LogCapture::LogCapture() {
    {
        std::lock_guard lock(logMutex);
        logLines.clear();
    }
    zephrane_SetLogSeverity(6);
    zephrane_SetLoggerCallback(capture);
}

LogCapture::~LogCapture() {
    zephrane_SetLoggerCallback(nullptr);
}

std::vector<LogCapture::Line> LogCapture::lines() const {
    std::lock_guard lock(logMutex);
    return logLines;
}

bool LogCapture::contains(int severity, const std::string& part) const {
    std::lock_guard lock(logMutex);
    for (const auto& line : logLines) {
        if (line.severity == severity && line.text.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

LineClient::LineClient(int port, const char* source) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (source != nullptr) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        ::inet_pton(AF_INET, source, &local.sin_addr);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

LineClient::~LineClient() {
    if (fd_ >= 0) {
        ::close(fd_);
    }
}

void LineClient::send(const std::string& bytes) {
    size_t done = 0;
    while (fd_ >= 0 && done < bytes.size()) {
        ssize_t sent = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (sent <= 0) {
            return;
        }
        done += static_cast<size_t>(sent);
    }
}

std::string LineClient::readLine(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        size_t end = buffer_.find('\n');
        if (end != std::string::npos) {
            std::string line = buffer_.substr(0, end);
            buffer_.erase(0, end + 1);
            return line;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
                                                                          std::chrono::steady_clock::now());
        if (fd_ < 0 || left.count() <= 0) {
            return {};
        }
        pollfd polled{fd_, POLLIN, 0};
        if (::poll(&polled, 1, static_cast<int>(left.count())) <= 0) {
            return {};
        }
        char chunk[4096];
        ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
        if (got <= 0) {
            return {};
        }
        buffer_.append(chunk, static_cast<size_t>(got));
    }
}

bool LineClient::closedByPeer(int timeoutMs) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd polled{fd_, POLLIN, 0};
        if (::poll(&polled, 1, 100) > 0) {
            char chunk[4096];
            ssize_t got = ::recv(fd_, chunk, sizeof chunk, 0);
            if (got <= 0) {
                return true;
            }
        }
    }
    return false;
}

int freePort() {
    // Ports below the kernel's range for outgoing connections: a client socket of another
    // test (the attack tests open hundreds) can never take one between this check and the
    // server's bind. Where that range starts low, the kernel picks as before.
    static std::mutex mutex;
    static std::set<int> handedOut;
    static std::mt19937 random{std::random_device{}()};
    std::lock_guard lock(mutex);
    int rangeLow = 0, rangeHigh = 0;
    if (FILE* range = std::fopen("/proc/sys/net/ipv4/ip_local_port_range", "r")) {
        if (std::fscanf(range, "%d %d", &rangeLow, &rangeHigh) != 2) {
            rangeLow = 0;
        }
        std::fclose(range);
    }
    std::uniform_int_distribution<int> below(10000, std::max(10000, rangeLow - 1));
    for (;;) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        address.sin_port = rangeLow > 12000 ? htons(static_cast<uint16_t>(below(random))) : 0;
        bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
        socklen_t length = sizeof address;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
        ::close(fd);
        int port = ntohs(address.sin_port);
        if (bound && handedOut.insert(port).second) {
            return port;
        }
    }
}

}  // namespace enginetest
