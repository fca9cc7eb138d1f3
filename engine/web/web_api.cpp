#include "web_api.h"

#include <atomic>
#include <cstdlib>
#include <memory>
#include <mutex>

namespace zephrane::web {

namespace {

std::mutex& registryMutex() {
    static auto* mutex = new std::mutex;
    return *mutex;
}

std::map<int64_t, std::shared_ptr<WebServer>>& registry() {
    static auto* servers = new std::map<int64_t, std::shared_ptr<WebServer>>;
    return *servers;
}

std::atomic<int64_t> nextId{1};

}  // namespace

int64_t startWebServer(WebServerConfig config) {
    std::shared_ptr<WebServer> server;
    try {
        server = WebServer::start(std::move(config));
    } catch (...) {
        return -1;
    }
    if (!server) {
        return -1;
    }
    try {
        int64_t id = nextId++;
        std::lock_guard lock(registryMutex());
        registry()[id] = server;
        return id;
    } catch (...) {
        server->stop(std::chrono::milliseconds(1000));
        return -1;
    }
}

int64_t startInProcessWebServer(uint32_t httpPort, uint32_t httpsPort,
                                std::function<std::string(const std::string&)> handler,
                                const std::string& storageDirectory, bool storageReadOnly, WebLog log) try {
    WebServerConfig config;
    config.httpPort = httpPort;
    config.httpsPort = httpsPort;
    config.log = log;
    config.channel = std::make_shared<FunctionControlChannel>(std::move(handler));
    configureFromEnvironment(config, storageDirectory, storageReadOnly);
    return startWebServer(std::move(config));
} catch (...) {
    return -1;  // called from C: nothing may escape
}

int64_t startTcpWebServer(uint32_t httpPort, uint32_t httpsPort, const std::string& address, uint32_t port,
                          const std::map<std::string, std::string>& parameters, WebLog log) try {
    std::string storage;
    for (const char* key : {"STORAGE_PATH", "STATE_DIR"}) {
        auto found = parameters.find(key);
        if (storage.empty() && found != parameters.end()) {
            storage = found->second;
        }
    }
    if (const char* dir = std::getenv("STATE_DIR"); storage.empty() && dir != nullptr) {
        storage = dir;
    }
    auto readOnly = parameters.find("STORAGE_RO");
    bool storageReadOnly =
        readOnly != parameters.end() && (readOnly->second == "1" || readOnly->second == "true");
    WebServerConfig config;
    config.httpPort = httpPort;
    config.httpsPort = httpsPort;
    config.log = log;
    config.channel = std::make_shared<TcpControlChannel>(address, port, log, TcpChannelTimeouts{},
                                                         controlSecretFromEnvironment());
    configureFromEnvironment(config, storage, storageReadOnly);
    return startWebServer(std::move(config));
} catch (...) {
    return -1;
}

int webServerStatus(int64_t id) {
    std::lock_guard lock(registryMutex());
    auto found = registry().find(id);
    return found == registry().end() ? 0 : found->second->status();
}

int stopWebServer(int64_t id, int timeoutMs) {
    std::shared_ptr<WebServer> server;
    {
        std::lock_guard lock(registryMutex());
        auto found = registry().find(id);
        if (found == registry().end()) {
            return -1;
        }
        server = std::move(found->second);
        registry().erase(found);
    }
    bool clean = server->stop(std::chrono::milliseconds(std::max(timeoutMs, 0)));
    return clean ? 0 : 1;
}

}  // namespace zephrane::web
