// zephrane-test-client: a node of our own for the host tests. It plays a known signal from
// its output port "out" and records what reaches its input port "in", one float per frame
// from its first cycle on, so a test can link it around the host and compare.
//   zephrane-test-client --name NAME --latency 256/48000 --seconds S --record FILE
//   zephrane-test-client --passthrough --name NAME --latency ...   copies "in" to "out"
//   --level-period S   the played signal's level swings between 0.2 and 1 of full over S
//                      seconds, so level meters move; RMS over whole periods stays fixed
//   --silent-seconds S plays silence for the first S seconds, then the signal
// The recording is written at the end as raw 32-bit floats; FILE.cycles gets one line
// "frames rate" for every change of cycle length or rate.
#include <pipewire/pipewire.h>
#include <spa/node/io.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "test_signal.h"

namespace {

struct Client {
    pw_main_loop* loop = nullptr;
    pw_filter* filter = nullptr;
    void* in = nullptr;
    void* out = nullptr;
    bool passthrough = false;
    double levelPeriodFrames = 0;  // 0: a steady level
    uint64_t silentFrames = 0;
    uint64_t played = 0;
    std::vector<float> recording;  // reserved up front: the process callback never allocates
    size_t recorded = 0;
    struct Change {
        uint32_t frames;
        uint32_t rate;
    };
    std::vector<Change> changes;
    size_t changeCount = 0;
    uint32_t lastFrames = 0;
    uint32_t lastRate = 0;
};

std::atomic<pw_main_loop*> runningLoop{nullptr};

void onSignal(int) {
    if (pw_main_loop* loop = runningLoop.load()) {
        pw_main_loop_quit(loop);
    }
}

void onProcess(void* userData, spa_io_position* position) {
    auto& c = *static_cast<Client*>(userData);
    if (position == nullptr) {
        return;
    }
    auto frames = static_cast<uint32_t>(position->clock.duration);
    uint32_t rate = position->clock.rate.denom;
    if ((frames != c.lastFrames || rate != c.lastRate) && c.changeCount < c.changes.size()) {
        c.changes[c.changeCount++] = {frames, rate};
        c.lastFrames = frames;
        c.lastRate = rate;
    }
    auto* in = static_cast<float*>(pw_filter_get_dsp_buffer(c.in, frames));
    auto* out = static_cast<float*>(pw_filter_get_dsp_buffer(c.out, frames));
    if (c.passthrough) {
        if (out != nullptr) {
            for (uint32_t i = 0; i < frames; ++i) {
                out[i] = in != nullptr ? in[i] : 0.0f;
            }
        }
        return;
    }
    if (out != nullptr) {
        for (uint32_t i = 0; i < frames; ++i) {
            uint64_t n = c.played + i;
            float level = 1.0f;
            if (c.levelPeriodFrames > 0) {
                double phase = std::fmod(static_cast<double>(n), c.levelPeriodFrames) / c.levelPeriodFrames;
                level = static_cast<float>(0.6 + 0.4 * std::sin(2 * M_PI * phase));
            }
            out[i] = n < c.silentFrames ? 0.0f : level * zephrane::testing::testSignal(n);
        }
    }
    c.played += frames;
    size_t room = c.recording.size() - c.recorded;
    size_t take = frames < room ? frames : room;
    for (size_t i = 0; i < take; ++i) {
        c.recording[c.recorded + i] = in != nullptr ? in[i] : 0.0f;
    }
    c.recorded += take;
}

void* addPort(pw_filter* filter, pw_direction direction, const char* name) {
    return pw_filter_add_port(
        filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name, nullptr),
        nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "zt-client";
    std::string latency = "256/48000";
    std::string recordPath;
    double seconds = 10;
    Client client;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto next = [&] { return i + 1 < argc ? std::string(argv[++i]) : std::string(); };
        if (arg == "--name") {
            name = next();
        } else if (arg == "--latency") {
            latency = next();
        } else if (arg == "--record") {
            recordPath = next();
        } else if (arg == "--seconds") {
            seconds = std::stod(next());
        } else if (arg == "--level-period") {
            client.levelPeriodFrames = std::stod(next()) * 48000;
        } else if (arg == "--silent-seconds") {
            client.silentFrames = static_cast<uint64_t>(std::stod(next()) * 48000);
        } else if (arg == "--passthrough") {
            client.passthrough = true;
        } else {
            std::fprintf(stderr, "zephrane-test-client: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    client.recording.assign(static_cast<size_t>(seconds * 48000 * 1.5) + 8192, 0.0f);
    client.changes.resize(1000);

    pw_init(&argc, &argv);
    client.loop = pw_main_loop_new(nullptr);
    static pw_filter_events events{};
    events.version = PW_VERSION_FILTER_EVENTS;
    events.process = onProcess;
    client.filter = pw_filter_new_simple(
        pw_main_loop_get_loop(client.loop), name.c_str(),
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Duplex", PW_KEY_MEDIA_ROLE,
                          "DSP", PW_KEY_NODE_LATENCY, latency.c_str(), PW_KEY_NODE_WANT_DRIVER, "true",
                          PW_KEY_NODE_ALWAYS_PROCESS, "true", nullptr),
        &events, &client);
    client.in = addPort(client.filter, PW_DIRECTION_INPUT, "in");
    client.out = addPort(client.filter, PW_DIRECTION_OUTPUT, "out");
    if (pw_filter_connect(client.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0) < 0) {
        std::fprintf(stderr, "zephrane-test-client: can't connect\n");
        return 1;
    }
    runningLoop = client.loop;
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    spa_source* timer = pw_loop_add_timer(
        pw_main_loop_get_loop(client.loop),
        [](void* loop, uint64_t) { pw_main_loop_quit(static_cast<pw_main_loop*>(loop)); }, client.loop);
    timespec after{static_cast<time_t>(seconds),
                   static_cast<long>((seconds - static_cast<time_t>(seconds)) * 1e9)};
    pw_loop_update_timer(pw_main_loop_get_loop(client.loop), timer, &after, nullptr, false);
    std::printf("ready\n");
    std::fflush(stdout);
    pw_main_loop_run(client.loop);
    runningLoop = nullptr;
    pw_filter_destroy(client.filter);

    if (!recordPath.empty()) {
        if (FILE* f = std::fopen(recordPath.c_str(), "wb")) {
            std::fwrite(client.recording.data(), sizeof(float), client.recorded, f);
            std::fclose(f);
        }
        if (FILE* f = std::fopen((recordPath + ".cycles").c_str(), "w")) {
            for (size_t i = 0; i < client.changeCount; ++i) {
                std::fprintf(f, "%u %u\n", client.changes[i].frames, client.changes[i].rate);
            }
            std::fclose(f);
        }
    }
    pw_main_loop_destroy(client.loop);
    pw_deinit();
    return 0;
}
