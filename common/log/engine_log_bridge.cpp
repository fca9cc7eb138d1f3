#include "engine_log_bridge.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "log.h"
#include "zephrane_engine.h"

namespace zephrane {

std::function<void(int, const std::string&)> engineLogHandler;

namespace {
std::atomic<bool> bridgeClosed{false};
std::atomic<int> linesInBridge{0};
}  // namespace

extern "C" void engineLogBridge(int severity, const char* text) {
    linesInBridge.fetch_add(1, std::memory_order_acq_rel);
    if (!bridgeClosed.load(std::memory_order_acquire)) {
        try {
            std::string copy(text ? text : "");
            if (engineLogHandler) {
                engineLogHandler(severity, copy);
            }
        } catch (...) {
            // Nothing may travel back into the engine.
        }
    }
    linesInBridge.fetch_sub(1, std::memory_order_acq_rel);
}

void hostEngineLogHandler(int severity, const std::string& text) {
    if (severity == LOG_DEBUG) {
        return;
    }
    Logger* logger = currentLogger;
    if (logger == nullptr || severity > logger->threshold) {
        return;
    }
    LogRecord record(severity, "", __LINE__, "", 0);
    record.stream() << text.c_str();
    for (LogSink* sink : logger->sinks()) {
        sink->write(record);
    }
}

void closeEngineLogBridge() {
    bridgeClosed.store(true, std::memory_order_release);
    // A line that entered before the close finishes with the logger still alive.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (linesInBridge.load(std::memory_order_acquire) > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::yield();
    }
}

void registerEngineLogBridge(LogSeverity verbosity) {
    zephrane_SetLogSeverity(verbosity);
    engineLogHandler = hostEngineLogHandler;
    static bool closeRegistered = false;
    if (!closeRegistered) {
        closeRegistered = true;
        std::atexit(closeEngineLogBridge);
    }
    zephrane_SetLoggerCallback(engineLogBridge);
}

}  // namespace zephrane
