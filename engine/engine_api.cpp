// The C interface of the engine library. Every exported function catches everything, so
// no exception ever reaches the host, and answers a null handle with an error.
#include <cstring>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <string>

#include "engine_log.h"
#include "parameters.h"
#include "process_core.h"
#include "process_handle.h"
#include "session.h"
#include "update_loop.h"
#include "web_api.h"
#include "zephrane_engine.h"

#define ZEPHRANE_EXPORT extern "C" __attribute__((visibility("default")))

using namespace zephrane::engine;

namespace {

// Ascending, zero-terminated: 12 and the usual graph quanta.
const uint32_t kPossibleChunkSizes[] = {12,  16,  24,  32,  48,   64,   96,   128,  192,
                                        256, 384, 512, 768, 1024, 2048, 4096, 8192, 0};

bool isPossibleChunkSize(uint32_t frames) {
    for (const uint32_t* size = kPossibleChunkSizes; *size != 0; ++size) {
        if (*size == frames) {
            return true;
        }
    }
    return false;
}

void logFailure(const char* where) {
    try {
        throw;
    } catch (const std::exception& error) {
        logLine(kError, std::string(where) + " failed: " + error.what());
    } catch (...) {
        logLine(kError, std::string(where) + " failed");
    }
}

template <typename Result, typename Body>
Result guarded(const char* where, Result onFailure, Body&& body) noexcept {
    try {
        return body();
    } catch (...) {
        try {
            logFailure(where);
        } catch (...) {
        }
        return onFailure;
    }
}

}  // namespace

ZEPHRANE_EXPORT int zephrane_SetLogSeverity(int severity) {
    setLogSeverity(severity);
    return 0;
}

ZEPHRANE_EXPORT int zephrane_SetLoggerCallback(ZephraneLogCallback callback) {
    setLogCallback(callback);
    return 0;
}

ZEPHRANE_EXPORT const char* zephrane_GetVersion(void) {
    return kEngineVersion;
}
ZEPHRANE_EXPORT int zephrane_GetSampleRate(void) {
    return kSampleRate;
}
ZEPHRANE_EXPORT int zephrane_GetChunkSizeInFrames(void) {
    return 12;
}
ZEPHRANE_EXPORT int zephrane_GetChannelCount(void) {
    return 1;
}
ZEPHRANE_EXPORT int zephrane_GetAudioInputCount(void) {
    return 1;
}
ZEPHRANE_EXPORT int zephrane_GetAudioOutputCount(void) {
    return 1;
}
ZEPHRANE_EXPORT const uint32_t* zephrane_GetPossibleChunkSizeInFrames(void) {
    return kPossibleChunkSizes;
}

ZEPHRANE_EXPORT ZephraneParametersHandle zephrane_NewParameters(void) {
    return guarded<ZephraneParametersHandle>("NewParameters", nullptr, [] { return new ZephraneParameters; });
}

ZEPHRANE_EXPORT int zephrane_SetParameter(ZephraneParametersHandle parameters, const char* key,
                                          const char* value) {
    if (parameters == nullptr || key == nullptr || value == nullptr) {
        logLine(kError, "SetParameter: null argument");
        return -1;
    }
    return guarded("SetParameter", -1, [&] {
        parameters->values.emplace_back(key, value);
        return 0;
    });
}

ZEPHRANE_EXPORT void zephrane_FreeParameters(ZephraneParametersHandle parameters) {
    delete parameters;
}

ZEPHRANE_EXPORT ZephraneProcessHandle zephrane_InitProcess3(const char* storagePath,
                                                            ZephraneParametersHandle parameters,
                                                            uint32_t framesPerChunk) {
    return guarded<ZephraneProcessHandle>("InitProcess3", nullptr, [&]() -> ZephraneProcessHandle {
        if (!isPossibleChunkSize(framesPerChunk)) {
            logLine(kError, "Process refused: " + std::to_string(framesPerChunk) +
                                " frames per chunk is not one of the possible chunk sizes");
            return nullptr;
        }
        ProcessOptions options;
        std::string problem;
        if (!readProcessOptions(parameters, storagePath, options, problem)) {
            logLine(kError, "Process refused: " + problem);
            return nullptr;
        }
        if (options.store.dir.empty()) {
            logLine(kWarn, "No storage directory given; settings are not kept");
            options.store.storageReadOnly = true;
        }
        bool joined = false;
        auto session = Session::open(options.store, options.startValues, joined);
        auto process = std::make_unique<ZephraneProcess>();
        process->frames = framesPerChunk;
        process->core = std::make_shared<ProcessCore>(std::move(session), framesPerChunk);
        process->loop = std::make_unique<UpdateLoop>(process->core);
        logLine(kInfo, "Engine " + std::string(kEngineVersion) + " process started: " +
                           std::to_string(framesPerChunk) + " frames per chunk, storage " +
                           options.store.dir + (joined ? " (live settings taken over)" : ""));
        return process.release();
    });
}

ZEPHRANE_EXPORT int zephrane_SetMetadata(ZephraneProcessHandle process, const char* key, const char* value) {
    if (process == nullptr || key == nullptr || value == nullptr) {
        logLine(kError, "SetMetadata: null argument");
        return -1;
    }
    return guarded("SetMetadata", -1, [&] {
        process->core->setMetadata(key, value);
        return 0;
    });
}

ZEPHRANE_EXPORT int zephrane_StartUpdateThread(ZephraneProcessHandle process, uint32_t jsonPort) {
    if (process == nullptr) {
        logLine(kError, "StartUpdateThread: no process");
        return -1;
    }
    return guarded("StartUpdateThread", -1, [&] { return process->loop->run(jsonPort); });
}

ZEPHRANE_EXPORT int zephrane_WaitUpdateThreadReady(ZephraneProcessHandle process, int timeoutMs) {
    if (process == nullptr) {
        return -1;
    }
    return guarded("WaitUpdateThreadReady", -1, [&] { return process->loop->waitReady(timeoutMs); });
}

ZEPHRANE_EXPORT int zephrane_StopUpdateThread(ZephraneProcessHandle process) {
    if (process == nullptr) {
        return -1;
    }
    return guarded("StopUpdateThread", -1, [&] {
        process->loop->stop();
        return 0;
    });
}

namespace {
void webLog(int severity, const std::string& text) {
    logLine(severity, text);
}
}  // namespace

ZEPHRANE_EXPORT ZephraneWebserverHandle zephrane_Webserver(uint32_t httpPort, uint32_t httpsPort,
                                                           ZephraneProcessHandle process) {
    if (process == nullptr || !process->core) {
        logLine(kError, "Webserver: no process");
        return -1;
    }
    return guarded<ZephraneWebserverHandle>("Webserver", -1, [&]() -> ZephraneWebserverHandle {
        const auto& options = process->core->session().options();
        return zephrane::web::startInProcessWebServer(httpPort, httpsPort, makeControlHandler(process->core),
                                                      options.dir, options.storageReadOnly, webLog);
    });
}

ZEPHRANE_EXPORT ZephraneWebserverHandle zephrane_Webserver_tcp2(uint32_t httpPort, uint32_t httpsPort,
                                                                const char* processAddress,
                                                                uint32_t processPort,
                                                                ZephraneParametersHandle parameters) {
    return guarded<ZephraneWebserverHandle>("Webserver_tcp2", -1, [&]() -> ZephraneWebserverHandle {
        std::map<std::string, std::string> values;
        if (parameters != nullptr) {
            for (const auto& [key, value] : parameters->values) {
                values[key] = value;  // a later key wins
            }
        }
        return zephrane::web::startTcpWebServer(httpPort, httpsPort, processAddress ? processAddress : "",
                                                processPort, values, webLog);
    });
}

ZEPHRANE_EXPORT int zephrane_Webserver_Status(ZephraneWebserverHandle webserver) {
    return guarded("Webserver_Status", 0, [&] { return zephrane::web::webServerStatus(webserver); });
}

ZEPHRANE_EXPORT int zephrane_Webserver_Stop(ZephraneWebserverHandle webserver, int timeoutMs) {
    return guarded("Webserver_Stop", -1, [&] { return zephrane::web::stopWebServer(webserver, timeoutMs); });
}

ZEPHRANE_EXPORT uint32_t zephrane_GetProcessChunkFrames(ZephraneProcessHandle process) {
    return process != nullptr ? process->frames : 0;
}

// Audio thread: no lock, no allocation, no system call, no log line.
ZEPHRANE_EXPORT int zephrane_ProcessAudio_Planar(ZephraneProcessHandle process, const float* const* inputs,
                                                 float* const* outputs) {
    if (process == nullptr || inputs == nullptr || outputs == nullptr || inputs[0] == nullptr ||
        outputs[0] == nullptr) {
        return -1;
    }
    process->core->chain().process(inputs[0], outputs[0], process->frames);
    return 0;
}

ZEPHRANE_EXPORT void zephrane_ExitProcess(ZephraneProcessHandle process) {
    if (process == nullptr) {
        return;
    }
    guarded("ExitProcess", 0, [&] {
        process->loop->stop();
        if (!process->loop->waitFinished(5000)) {
            // Its thread still uses the process: leaking it is the only safe choice.
            logLine(kError, "ExitProcess: update loop did not stop; process left allocated");
            return 0;
        }
        process->core->session().flush();
        logLine(kInfo, "Engine process ended");
        delete process;
        return 0;
    });
}
