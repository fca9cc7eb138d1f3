#include "engine_log.h"

#include <atomic>

namespace zephrane::engine {

namespace {
std::atomic<int> severityLimit{kInfo};
std::atomic<ZephraneLogCallback> callbackPointer{nullptr};
static_assert(std::atomic<int>::is_always_lock_free);
}  // namespace

void setLogSeverity(int severity) {
    severityLimit.store(severity, std::memory_order_relaxed);
}

void setLogCallback(ZephraneLogCallback callback) {
    callbackPointer.store(callback, std::memory_order_release);
}

bool logEnabled(int severity) {
    return severity <= severityLimit.load(std::memory_order_relaxed) &&
           callbackPointer.load(std::memory_order_acquire) != nullptr;
}

void logLine(int severity, std::string_view text) {
    if (!logEnabled(severity)) {
        return;
    }
    ZephraneLogCallback callback = callbackPointer.load(std::memory_order_acquire);
    try {
        std::string copy(text);
        callback(severity, copy.c_str());
    } catch (...) {
        // A throwing callback must not take the engine down.
    }
}

}  // namespace zephrane::engine
