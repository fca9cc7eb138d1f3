// First cut of our engine: fixed properties, parameter sets, processes that copy input
// to output, an update loop that blocks until stopped. The web interface comes later.
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <new>
#include <string>

#include "zephrane_engine.h"

#define ZEPHRANE_EXPORT extern "C" __attribute__((visibility("default")))

struct ZephraneParameters {
    std::map<std::string, std::string> values;
};

struct ZephraneProcess {
    uint32_t framesPerChunk = 12;
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;
    bool stopRequested = false;
};

namespace {
std::atomic<int> logSeverity{4};
std::atomic<ZephraneLogCallback> logCallback{nullptr};
const uint32_t possibleChunkSizes[] = {12, 16, 24, 32, 48, 64, 96, 128, 192, 256, 384, 512, 768, 1024, 2048, 0};

void engineLog(int severity, const char* text) {
    ZephraneLogCallback callback = logCallback.load();
    if (callback != nullptr && severity <= logSeverity.load()) {
        callback(severity, text);
    }
}
}  // namespace

ZEPHRANE_EXPORT int zephrane_SetLogSeverity(int severity) {
    logSeverity = severity;
    return 0;
}
ZEPHRANE_EXPORT int zephrane_SetLoggerCallback(ZephraneLogCallback callback) {
    logCallback = callback;
    return 0;
}
ZEPHRANE_EXPORT const char* zephrane_GetVersion(void) { return "0.1.0"; }
ZEPHRANE_EXPORT int zephrane_GetSampleRate(void) { return 48000; }
ZEPHRANE_EXPORT int zephrane_GetChunkSizeInFrames(void) { return 12; }
ZEPHRANE_EXPORT int zephrane_GetChannelCount(void) { return 1; }
ZEPHRANE_EXPORT int zephrane_GetAudioInputCount(void) { return 1; }
ZEPHRANE_EXPORT int zephrane_GetAudioOutputCount(void) { return 1; }
ZEPHRANE_EXPORT const uint32_t* zephrane_GetPossibleChunkSizeInFrames(void) { return possibleChunkSizes; }

ZEPHRANE_EXPORT ZephraneParametersHandle zephrane_NewParameters(void) { return new (std::nothrow) ZephraneParameters; }
ZEPHRANE_EXPORT int zephrane_SetParameter(ZephraneParametersHandle parameters, const char* key, const char* value) {
    if (parameters == nullptr || key == nullptr || value == nullptr) {
        return -1;
    }
    try {
        parameters->values[key] = value;
    } catch (...) {
        return -1;
    }
    return 0;
}
ZEPHRANE_EXPORT void zephrane_FreeParameters(ZephraneParametersHandle parameters) { delete parameters; }

ZEPHRANE_EXPORT ZephraneProcessHandle zephrane_InitProcess3(const char*, ZephraneParametersHandle,
                                                            uint32_t framesPerChunk) {
    if (framesPerChunk == 0) {
        return nullptr;
    }
    auto* process = new (std::nothrow) ZephraneProcess;
    if (process != nullptr) {
        process->framesPerChunk = framesPerChunk;
        engineLog(4, "Engine process started");
    }
    return process;
}
ZEPHRANE_EXPORT int zephrane_SetMetadata(ZephraneProcessHandle process, const char*, const char*) {
    return process ? 0 : -1;
}
ZEPHRANE_EXPORT int zephrane_StartUpdateThread(ZephraneProcessHandle process, uint32_t) {
    if (process == nullptr) {
        return -1;
    }
    std::unique_lock lock(process->mutex);
    process->running = true;
    process->changed.notify_all();
    process->changed.wait(lock, [process] { return process->stopRequested; });
    process->running = false;
    return 0;
}
ZEPHRANE_EXPORT int zephrane_WaitUpdateThreadReady(ZephraneProcessHandle process, int timeoutMs) {
    if (process == nullptr) {
        return -1;
    }
    std::unique_lock lock(process->mutex);
    bool ready = process->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                           [process] { return process->running || process->stopRequested; });
    return ready && process->running ? 0 : -1;
}
ZEPHRANE_EXPORT int zephrane_StopUpdateThread(ZephraneProcessHandle process) {
    if (process == nullptr) {
        return -1;
    }
    std::lock_guard lock(process->mutex);
    process->stopRequested = true;
    process->changed.notify_all();
    return 0;
}
ZEPHRANE_EXPORT ZephraneWebserverHandle zephrane_Webserver(uint32_t, uint32_t, ZephraneProcessHandle) {
    engineLog(2, "Web interface not available in this engine build");
    return -1;
}
ZEPHRANE_EXPORT ZephraneWebserverHandle zephrane_Webserver_tcp2(uint32_t, uint32_t, const char*, uint32_t,
                                                                ZephraneParametersHandle) {
    engineLog(2, "Web interface not available in this engine build");
    return -1;
}
ZEPHRANE_EXPORT int zephrane_Webserver_Status(ZephraneWebserverHandle) { return 0; }
ZEPHRANE_EXPORT int zephrane_Webserver_Stop(ZephraneWebserverHandle, int) { return -1; }
ZEPHRANE_EXPORT uint32_t zephrane_GetProcessChunkFrames(ZephraneProcessHandle process) {
    return process ? process->framesPerChunk : 0;
}
ZEPHRANE_EXPORT int zephrane_ProcessAudio_Planar(ZephraneProcessHandle process, const float* const* inputs,
                                                 float* const* outputs) {
    if (process == nullptr || inputs == nullptr || outputs == nullptr) {
        return -1;
    }
    std::memmove(outputs[0], inputs[0], process->framesPerChunk * sizeof(float));
    return 0;
}
ZEPHRANE_EXPORT void zephrane_ExitProcess(ZephraneProcessHandle process) { delete process; }
