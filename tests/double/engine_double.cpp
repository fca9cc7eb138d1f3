// The engine test double. See engine_double.h for the keys and the call-log format.
//
// Objects handed out (processes, parameter sets) are never deleted: a host that uses a
// handle after releasing it sees "(freed)" in the call log instead of crashing, and
// leak checkers see them as reachable.
#include "engine_double.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "zephrane_engine.h"

struct ZephraneParameters {
    int id = 0;
    std::map<std::string, std::string> values;
    bool freed = false;
};

struct ZephraneProcess {
    int id = 0;
    uint32_t framesPerChunk = 0;
    std::atomic<bool> exited{false};
    std::mutex mutex;
    std::condition_variable changed;
    bool started = false;
    bool stopRequested = false;
};

namespace {

const char* const DEFAULT_POSSIBLE_SIZES = "12,16,24,32,48,64,96,128,192,256,384,512,768,1024,2048";

struct Config {
    int sampleRate = 48000;
    int chunkSize = 12;
    int channels = 1;
    int inputs = 1;
    int outputs = 1;
    std::string version = "9.9.9-double";
    bool versionNull = false;
    std::vector<uint32_t> possibleSizes;  // with the terminating 0
    bool newParametersFail = false;
    bool initFail = false;
    int readyResult = 0;
    bool webHandleSet = false;
    int64_t webHandle = 0;
    int webStatus = 3;
    int webStopResult = 0;
    int webStopDelayMs = 0;
    std::string logLines;
};

// Everything the audio-cycle calls read, kept in atomics so they take no lock.
std::atomic<float> gain{1.0f};
std::atomic<int64_t> chunkFramesOverride{-1};
std::atomic<bool> logProcess{false};
// One processing call that hangs: which call (1 = the first; 0 = none) and for how long.
std::atomic<uint64_t> stallAtCall{0};
std::atomic<int> stallMs{0};
std::atomic<int> callLogFd{-1};
std::atomic<size_t> processCalls{0};
std::atomic<size_t> chunkFramesCalls{0};
std::atomic<int> loopsRunning{0};
std::atomic<ZephraneLogCallback> logCallback{nullptr};

struct State {
    std::mutex mutex;
    std::map<std::string, std::string> overrides;
    std::string callLogPath;
    std::vector<std::string> calls;
    std::set<std::string> versions;                     // stable storage for returned texts
    std::set<std::vector<uint32_t>> possibleSizeLists;  // same for the size lists
    std::vector<std::unique_ptr<ZephraneProcess>> processes;
    std::vector<std::unique_ptr<ZephraneParameters>> parameterSets;
    std::unordered_map<const void*, bool> knownHandles;
    std::set<int64_t> stoppedWebservers;
    int nextProcessId = 1;
    int nextParametersId = 1;
    int64_t nextWebserverId = 1;
};

State& state() {
    static State* s = new State;  // never destroyed: engine threads may outlive statics
    return *s;
}

std::string trim(const std::string& text) {
    size_t begin = text.find_first_not_of(" \t\r");
    if (begin == std::string::npos) {
        return "";
    }
    size_t end = text.find_last_not_of(" \t\r");
    return text.substr(begin, end - begin + 1);
}

std::map<std::string, std::string> readControlFile(const char* path) {
    std::map<std::string, std::string> values;
    if (path == nullptr || *path == '\0') {
        return values;
    }
    std::ifstream file(path);
    std::string line;
    while (std::getline(file, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.empty() || line[0] == '#') {
            continue;
        }
        size_t equals = line.find('=');
        if (equals == std::string::npos) {
            continue;
        }
        values[trim(line.substr(0, equals))] = line.substr(equals + 1);
    }
    return values;
}

// Reads every key afresh; the caller holds the state's mutex.
Config loadConfig(State& s) {
    auto overrideOrEnv = [&s](const char* key) -> std::optional<std::string> {
        auto found = s.overrides.find(key);
        if (found != s.overrides.end()) {
            return found->second;
        }
        const char* value = std::getenv(key);
        if (value != nullptr) {
            return std::string(value);
        }
        return std::nullopt;
    };
    std::optional<std::string> controlPath = overrideOrEnv("ZDOUBLE_CONTROL_FILE");
    std::map<std::string, std::string> control =
        readControlFile(controlPath ? controlPath->c_str() : nullptr);
    auto lookup = [&](const char* key) -> std::optional<std::string> {
        auto found = s.overrides.find(key);
        if (found != s.overrides.end()) {
            return found->second;
        }
        found = control.find(key);
        if (found != control.end()) {
            return found->second;
        }
        return overrideOrEnv(key);
    };
    auto intValue = [&](const char* key, int fallback) {
        std::optional<std::string> text = lookup(key);
        return text && !text->empty() ? static_cast<int>(std::strtol(text->c_str(), nullptr, 10)) : fallback;
    };
    auto flag = [&](const char* key) { return intValue(key, 0) != 0; };

    Config config;
    config.sampleRate = intValue("ZDOUBLE_SAMPLE_RATE", config.sampleRate);
    config.chunkSize = intValue("ZDOUBLE_CHUNK_SIZE", config.chunkSize);
    config.channels = intValue("ZDOUBLE_CHANNELS", config.channels);
    config.inputs = intValue("ZDOUBLE_INPUTS", config.inputs);
    config.outputs = intValue("ZDOUBLE_OUTPUTS", config.outputs);
    if (auto version = lookup("ZDOUBLE_VERSION")) {
        config.version = *version;
    }
    config.versionNull = flag("ZDOUBLE_VERSION_NULL");
    std::string sizes = lookup("ZDOUBLE_POSSIBLE_SIZES").value_or(DEFAULT_POSSIBLE_SIZES);
    std::istringstream sizeStream(sizes);
    std::string size;
    while (std::getline(sizeStream, size, ',')) {
        if (!trim(size).empty()) {
            config.possibleSizes.push_back(static_cast<uint32_t>(std::strtoul(size.c_str(), nullptr, 10)));
        }
    }
    config.possibleSizes.push_back(0);
    config.newParametersFail = flag("ZDOUBLE_NEW_PARAMETERS_FAIL");
    config.initFail = flag("ZDOUBLE_INIT_FAIL");
    config.readyResult = intValue("ZDOUBLE_READY_RESULT", 0);
    if (auto handle = lookup("ZDOUBLE_WEB_HANDLE"); handle && !handle->empty()) {
        config.webHandleSet = true;
        config.webHandle = std::strtoll(handle->c_str(), nullptr, 10);
    }
    config.webStatus = intValue("ZDOUBLE_WEB_STATUS", config.webStatus);
    config.webStopResult = intValue("ZDOUBLE_WEB_STOP_RESULT", config.webStopResult);
    config.webStopDelayMs = intValue("ZDOUBLE_WEB_STOP_DELAY_MS", 0);
    config.logLines = lookup("ZDOUBLE_LOG_LINES").value_or("");

    std::optional<std::string> frames = lookup("ZDOUBLE_CHUNK_FRAMES");
    chunkFramesOverride.store(frames && !frames->empty() ? static_cast<int64_t>(static_cast<uint32_t>(
                                                               std::strtoul(frames->c_str(), nullptr, 10)))
                                                         : -1);
    std::optional<std::string> gainText = lookup("ZDOUBLE_GAIN");
    gain.store(gainText && !gainText->empty() ? std::strtof(gainText->c_str(), nullptr) : 1.0f);
    logProcess.store(flag("ZDOUBLE_LOG_PROCESS"));
    stallAtCall.store(static_cast<uint64_t>(intValue("ZDOUBLE_STALL_AT_CALL", 0)));
    stallMs.store(intValue("ZDOUBLE_STALL_MS", 0));

    std::string callLog = lookup("ZDOUBLE_CALL_LOG").value_or("");
    if (callLog != s.callLogPath) {
        // The previous descriptor stays open: an audio-cycle call may still be using it.
        s.callLogPath = callLog;
        int fd =
            callLog.empty() ? -1 : ::open(callLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        callLogFd.store(fd);
    }
    return config;
}

Config refresh() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return loadConfig(s);
}

void writeLine(int fd, std::string line) {
    if (fd < 0) {
        return;
    }
    line += '\n';
    const char* data = line.data();
    size_t left = line.size();
    // One write() per line keeps lines whole between threads; retry only on EINTR.
    while (left > 0) {
        ssize_t written = ::write(fd, data, left);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return;
        }
        data += written;
        left -= static_cast<size_t>(written);
    }
}

void record(std::string line) {
    State& s = state();
    {
        std::lock_guard lock(s.mutex);
        s.calls.push_back(line);
    }
    writeLine(callLogFd.load(), std::move(line));
}

std::string text(const char* value) {
    return value ? value : "(null)";
}

std::string processName(ZephraneProcessHandle process) {
    if (process == nullptr) {
        return "0";
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.knownHandles.count(process)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "?%p", static_cast<void*>(process));
        return buffer;
    }
    return "p" + std::to_string(process->id) + (process->exited.load() ? "(freed)" : "");
}

std::string parametersName(ZephraneParametersHandle parameters) {
    if (parameters == nullptr) {
        return "0";
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.knownHandles.count(parameters)) {
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "?%p", static_cast<void*>(parameters));
        return buffer;
    }
    return "s" + std::to_string(parameters->id) + (parameters->freed ? "(freed)" : "");
}

std::string webserverName(ZephraneWebserverHandle webserver) {
    if (webserver == -1) {
        return "-1";
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    return "w" + std::to_string(webserver) + (s.stoppedWebservers.count(webserver) ? "(freed)" : "");
}

bool knownProcess(ZephraneProcessHandle process) {
    if (process == nullptr) {
        return false;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.knownHandles.count(process) != 0;
}

// Splits "severity:text|severity:text"; "\n" in a text stands for a line feed.
std::vector<std::pair<int, std::string>> parseLogLines(const std::string& spec) {
    std::vector<std::pair<int, std::string>> lines;
    if (spec.empty()) {
        return lines;
    }
    size_t begin = 0;
    while (true) {
        size_t end = spec.find('|', begin);
        std::string entry = spec.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        size_t colon = entry.find(':');
        int severity = static_cast<int>(std::strtol(entry.substr(0, colon).c_str(), nullptr, 10));
        std::string message = colon == std::string::npos ? "" : entry.substr(colon + 1);
        std::string unescaped;
        for (size_t i = 0; i < message.size(); ++i) {
            if (message[i] == '\\' && i + 1 < message.size() && message[i + 1] == 'n') {
                unescaped += '\n';
                ++i;
            } else {
                unescaped += message[i];
            }
        }
        lines.emplace_back(severity, unescaped);
        if (end == std::string::npos) {
            break;
        }
        begin = end + 1;
    }
    return lines;
}

// Adds the audio-cycle counts to the call log when the library is unloaded.
struct CountsAtExit {
    ~CountsAtExit() {
        int fd = callLogFd.load();
        if (fd >= 0) {
            writeLine(fd, "# counts ProcessAudio_Planar=" + std::to_string(processCalls.load()) +
                              " GetProcessChunkFrames=" + std::to_string(chunkFramesCalls.load()));
        }
    }
} countsAtExit;

}  // namespace

// ---- the engine interface ------------------------------------------------------------

extern "C" {

int zephrane_SetLogSeverity(int severity) {
    refresh();
    record("zephrane_SetLogSeverity " + std::to_string(severity));
    return 0;
}

int zephrane_SetLoggerCallback(ZephraneLogCallback callback) {
    Config config = refresh();
    record(std::string("zephrane_SetLoggerCallback ") + (callback ? "fn" : "0"));
    logCallback.store(callback);
    std::vector<std::pair<int, std::string>> lines = parseLogLines(config.logLines);
    if (callback != nullptr && !lines.empty()) {
        // A thread of the engine's own, as the real library reports from its threads.
        std::thread reporter([callback, &lines] {
            for (const auto& [severity, message] : lines) {
                callback(severity, message.c_str());
            }
        });
        reporter.join();
    }
    return 0;
}

const char* zephrane_GetVersion(void) {
    Config config = refresh();
    record("zephrane_GetVersion");
    if (config.versionNull) {
        return nullptr;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.versions.insert(config.version).first->c_str();
}

int zephrane_GetSampleRate(void) {
    Config config = refresh();
    record("zephrane_GetSampleRate");
    return config.sampleRate;
}

int zephrane_GetChunkSizeInFrames(void) {
    Config config = refresh();
    record("zephrane_GetChunkSizeInFrames");
    return config.chunkSize;
}

int zephrane_GetChannelCount(void) {
    Config config = refresh();
    record("zephrane_GetChannelCount");
    return config.channels;
}

int zephrane_GetAudioInputCount(void) {
    Config config = refresh();
    record("zephrane_GetAudioInputCount");
    return config.inputs;
}

int zephrane_GetAudioOutputCount(void) {
    Config config = refresh();
    record("zephrane_GetAudioOutputCount");
    return config.outputs;
}

const uint32_t* zephrane_GetPossibleChunkSizeInFrames(void) {
    Config config = refresh();
    record("zephrane_GetPossibleChunkSizeInFrames");
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.possibleSizeLists.insert(config.possibleSizes).first->data();
}

ZephraneParametersHandle zephrane_NewParameters(void) {
    Config config = refresh();
    ZephraneParameters* parameters = nullptr;
    if (!config.newParametersFail) {
        State& s = state();
        std::lock_guard lock(s.mutex);
        auto created = std::make_unique<ZephraneParameters>();
        created->id = s.nextParametersId++;
        parameters = created.get();
        s.knownHandles[parameters] = true;
        s.parameterSets.push_back(std::move(created));
    }
    record("zephrane_NewParameters");
    return parameters;
}

int zephrane_SetParameter(ZephraneParametersHandle parameters, const char* key, const char* value) {
    refresh();
    record("zephrane_SetParameter " + parametersName(parameters) + " " + text(key) + " " + text(value));
    if (parameters == nullptr || key == nullptr || value == nullptr) {
        return -1;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (!s.knownHandles.count(parameters)) {
        return -1;
    }
    parameters->values[key] = value;
    return 0;
}

void zephrane_FreeParameters(ZephraneParametersHandle parameters) {
    refresh();
    record("zephrane_FreeParameters " + parametersName(parameters));
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (parameters != nullptr && s.knownHandles.count(parameters)) {
        parameters->freed = true;
    }
}

ZephraneProcessHandle zephrane_InitProcess3(const char* storagePath, ZephraneParametersHandle parameters,
                                            uint32_t framesPerChunk) {
    Config config = refresh();
    record("zephrane_InitProcess3 " + text(storagePath) + " " + parametersName(parameters) + " " +
           std::to_string(framesPerChunk));
    if (config.initFail) {
        return nullptr;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    auto created = std::make_unique<ZephraneProcess>();
    created->id = s.nextProcessId++;
    created->framesPerChunk = framesPerChunk;
    ZephraneProcess* process = created.get();
    s.knownHandles[process] = true;
    s.processes.push_back(std::move(created));
    return process;
}

int zephrane_SetMetadata(ZephraneProcessHandle process, const char* key, const char* value) {
    refresh();
    record("zephrane_SetMetadata " + processName(process) + " " + text(key) + " " + text(value));
    return knownProcess(process) ? 0 : -1;
}

int zephrane_StartUpdateThread(ZephraneProcessHandle process, uint32_t jsonPort) {
    refresh();
    record("zephrane_StartUpdateThread " + processName(process) + " " + std::to_string(jsonPort));
    if (!knownProcess(process)) {
        return -1;
    }
    std::unique_lock lock(process->mutex);
    process->started = true;
    ++loopsRunning;
    process->changed.notify_all();
    process->changed.wait(lock, [process] { return process->stopRequested; });
    --loopsRunning;
    return 0;
}

int zephrane_WaitUpdateThreadReady(ZephraneProcessHandle process, int timeoutMs) {
    Config config = refresh();
    record("zephrane_WaitUpdateThreadReady " + processName(process) + " " + std::to_string(timeoutMs));
    if (config.readyResult != 0) {
        return config.readyResult;
    }
    if (!knownProcess(process)) {
        return -1;
    }
    std::unique_lock lock(process->mutex);
    bool started = process->changed.wait_for(lock, std::chrono::milliseconds(timeoutMs < 0 ? 0 : timeoutMs),
                                             [process] { return process->started; });
    return started ? 0 : -1;
}

int zephrane_StopUpdateThread(ZephraneProcessHandle process) {
    refresh();
    record("zephrane_StopUpdateThread " + processName(process));
    if (!knownProcess(process)) {
        return -1;
    }
    std::lock_guard lock(process->mutex);
    process->stopRequested = true;
    process->changed.notify_all();
    return 0;
}

ZephraneWebserverHandle zephrane_Webserver(uint32_t httpPort, uint32_t httpsPort,
                                           ZephraneProcessHandle process) {
    Config config = refresh();
    ZephraneWebserverHandle handle = config.webHandle;
    if (!config.webHandleSet) {
        State& s = state();
        std::lock_guard lock(s.mutex);
        handle = s.nextWebserverId++;
    }
    record("zephrane_Webserver " + std::to_string(httpPort) + " " + std::to_string(httpsPort) + " " +
           processName(process));
    return handle;
}

ZephraneWebserverHandle zephrane_Webserver_tcp2(uint32_t httpPort, uint32_t httpsPort,
                                                const char* processAddress, uint32_t processPort,
                                                ZephraneParametersHandle parameters) {
    Config config = refresh();
    ZephraneWebserverHandle handle = config.webHandle;
    if (!config.webHandleSet) {
        State& s = state();
        std::lock_guard lock(s.mutex);
        handle = s.nextWebserverId++;
    }
    record("zephrane_Webserver_tcp2 " + std::to_string(httpPort) + " " + std::to_string(httpsPort) + " " +
           text(processAddress) + " " + std::to_string(processPort) + " " + parametersName(parameters));
    return handle;
}

int zephrane_Webserver_Status(ZephraneWebserverHandle webserver) {
    Config config = refresh();
    record("zephrane_Webserver_Status " + webserverName(webserver));
    return config.webStatus;
}

int zephrane_Webserver_Stop(ZephraneWebserverHandle webserver, int timeoutMs) {
    Config config = refresh();
    record("zephrane_Webserver_Stop " + webserverName(webserver) + " " + std::to_string(timeoutMs));
    if (config.webStopDelayMs > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(config.webStopDelayMs));
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.stoppedWebservers.insert(webserver);
    return config.webStopResult;
}

uint32_t zephrane_GetProcessChunkFrames(ZephraneProcessHandle process) {
    chunkFramesCalls.fetch_add(1, std::memory_order_relaxed);
    if (logProcess.load(std::memory_order_relaxed)) {
        record("zephrane_GetProcessChunkFrames " + processName(process));
    }
    int64_t forced = chunkFramesOverride.load(std::memory_order_relaxed);
    if (forced >= 0) {
        return static_cast<uint32_t>(forced);
    }
    return process != nullptr ? process->framesPerChunk : 0;
}

int zephrane_ProcessAudio_Planar(ZephraneProcessHandle process, const float* const* inputs,
                                 float* const* outputs) {
    const size_t call = processCalls.fetch_add(1, std::memory_order_relaxed) + 1;
    if (call == stallAtCall.load(std::memory_order_relaxed)) {
        // A hung engine, on purpose: the host's audio thread stays in this cycle.
        std::this_thread::sleep_for(std::chrono::milliseconds(stallMs.load(std::memory_order_relaxed)));
    }
    if (logProcess.load(std::memory_order_relaxed)) {
        record("zephrane_ProcessAudio_Planar " + processName(process));
    }
    if (process == nullptr || inputs == nullptr || outputs == nullptr || inputs[0] == nullptr ||
        outputs[0] == nullptr) {
        return -1;
    }
    int64_t forced = chunkFramesOverride.load(std::memory_order_relaxed);
    uint32_t frames = forced >= 0 ? static_cast<uint32_t>(forced) : process->framesPerChunk;
    float factor = gain.load(std::memory_order_relaxed);
    for (uint32_t i = 0; i < frames; ++i) {
        outputs[0][i] = inputs[0][i] * factor;
    }
    return 0;
}

void zephrane_ExitProcess(ZephraneProcessHandle process) {
    refresh();
    record("zephrane_ExitProcess " + processName(process));
    if (!knownProcess(process)) {
        return;
    }
    process->exited.store(true);
    std::lock_guard lock(process->mutex);
    if (process->started && !process->stopRequested) {
        // Releasing a process whose loop still runs is a host fault; end the loop so a
        // test fails on the call log instead of hanging in a join.
        record("# misuse: zephrane_ExitProcess p" + std::to_string(process->id) +
               " while its update loop runs");
        process->stopRequested = true;
        process->changed.notify_all();
    }
}

// ---- in-process control --------------------------------------------------------------

void zdouble_reset(void) {
    State& s = state();
    std::lock_guard lock(s.mutex);
    s.overrides.clear();
    s.calls.clear();
    s.stoppedWebservers.clear();
    s.nextProcessId = 1;
    s.nextParametersId = 1;
    s.nextWebserverId = 1;
    processCalls.store(0);
    chunkFramesCalls.store(0);
    logCallback.store(nullptr);
    loadConfig(s);
}

void zdouble_set(const char* key, const char* value) {
    if (key == nullptr) {
        return;
    }
    State& s = state();
    std::lock_guard lock(s.mutex);
    if (value == nullptr) {
        s.overrides.erase(key);
    } else {
        s.overrides[key] = value;
    }
    loadConfig(s);
}

size_t zdouble_process_call_count(void) {
    return processCalls.load();
}

size_t zdouble_chunk_frames_call_count(void) {
    return chunkFramesCalls.load();
}

int zdouble_update_loops_running(void) {
    return loopsRunning.load();
}

int zdouble_emit_log(int severity, const char* message) {
    ZephraneLogCallback callback = logCallback.load();
    if (callback == nullptr) {
        return 0;
    }
    callback(severity, message);
    return 1;
}

}  // extern "C"

std::vector<std::string> zdouble_calls() {
    State& s = state();
    std::lock_guard lock(s.mutex);
    return s.calls;
}
