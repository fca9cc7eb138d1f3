// zephrane-demo-tone: plays a steady mono sine into the PipeWire graph until SIGINT or
// SIGTERM, as the demo's test signal. It does not link itself; the caller links its
// output port with pw-link, so no session manager is needed and none reroutes it. A DSP
// filter rather than a stream: a stream's ports appear only once a session manager
// configures them, a filter's port exists from the start.
#include <getopt.h>
#include <pipewire/pipewire.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tone.h"

namespace {

constexpr uint32_t SAMPLE_RATE = 48000;

struct ToneData {
    pw_main_loop* loop = nullptr;
    pw_filter* filter = nullptr;
    void* port = nullptr;
    zephrane::demo::ToneGenerator* tone = nullptr;
    int status = 0;
};

void onProcess(void* userData, spa_io_position* position) {
    auto& data = *static_cast<ToneData*>(userData);
    auto frames = static_cast<uint32_t>(position->clock.duration);
    auto* samples = static_cast<float*>(pw_filter_get_dsp_buffer(data.port, frames));
    if (samples != nullptr) {
        data.tone->fill(samples, frames);
    }
}

// A lost daemon ends the run with an error, so the demo script notices.
void onStateChanged(void* userData, pw_filter_state, pw_filter_state state, const char* error) {
    auto& data = *static_cast<ToneData*>(userData);
    if (state == PW_FILTER_STATE_ERROR) {
        std::fprintf(stderr, "zephrane-demo-tone: filter error: %s\n", error != nullptr ? error : "");
        data.status = 1;
        pw_main_loop_quit(data.loop);
    }
}

void onCoreError(void* userData, uint32_t id, int, int res, const char* message) {
    auto& data = *static_cast<ToneData*>(userData);
    if (id == PW_ID_CORE && res == -EPIPE) {
        std::fprintf(stderr, "zephrane-demo-tone: connection lost: %s\n", message != nullptr ? message : "");
        data.status = 1;
        pw_main_loop_quit(data.loop);
    }
}

void onStopSignal(void* userData, int) {
    pw_main_loop_quit(static_cast<ToneData*>(userData)->loop);
}

void printHelp(const char* program) {
    std::printf(
        "%s [-n node_name] [-f frequency_hz] [-l level_dbfs]\n"
        "  -n, --name=node_name   PipeWire node name (default zephrane-demo-tone)\n"
        "  -f, --frequency=hz     sine frequency (default 440)\n"
        "  -l, --level=dbfs       peak level; it swings 6 dB below and back every 2 s (default -12)\n"
        "  -h, --help             this help\n",
        program);
}

}  // namespace

int main(int argc, char** argv) {
    std::string name = "zephrane-demo-tone";
    double frequency = 440.0;
    double level = -12.0;
    static const option options[] = {{"name", required_argument, nullptr, 'n'},
                                     {"frequency", required_argument, nullptr, 'f'},
                                     {"level", required_argument, nullptr, 'l'},
                                     {"help", no_argument, nullptr, 'h'},
                                     {nullptr, 0, nullptr, 0}};
    int letter;
    while ((letter = getopt_long(argc, argv, "n:f:l:h", options, nullptr)) != -1) {
        switch (letter) {
            case 'n':
                name = optarg;
                break;
            case 'f':
                frequency = std::atof(optarg);
                break;
            case 'l':
                level = std::atof(optarg);
                break;
            case 'h':
                printHelp(argv[0]);
                return 0;
            default:
                printHelp(argv[0]);
                return 1;
        }
    }
    if (!(frequency > 0.0 && frequency < SAMPLE_RATE / 2.0) || !(level <= 0.0)) {
        std::fprintf(stderr, "zephrane-demo-tone: frequency must be in (0, %u) Hz and level at most 0 dBFS\n",
                     SAMPLE_RATE / 2);
        return 1;
    }

    pw_init(&argc, &argv);
    zephrane::demo::ToneGenerator tone(frequency, level, SAMPLE_RATE);
    ToneData data;
    data.tone = &tone;
    data.loop = pw_main_loop_new(nullptr);
    if (data.loop == nullptr) {
        std::fprintf(stderr, "zephrane-demo-tone: cannot create the main loop\n");
        return 1;
    }
    pw_loop* loop = pw_main_loop_get_loop(data.loop);
    pw_loop_add_signal(loop, SIGINT, onStopSignal, &data);
    pw_loop_add_signal(loop, SIGTERM, onStopSignal, &data);

    static const pw_filter_events filterEvents = [] {
        pw_filter_events events{};
        events.version = PW_VERSION_FILTER_EVENTS;
        events.state_changed = onStateChanged;
        events.process = onProcess;
        return events;
    }();
    // Without a session manager only nodes that want a driver get one.
    pw_properties* properties = pw_properties_new(
        PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Playback", PW_KEY_MEDIA_ROLE, "Music",
        PW_KEY_NODE_NAME, name.c_str(), PW_KEY_NODE_DESCRIPTION, "zephrane demo tone",
        PW_KEY_NODE_WANT_DRIVER, "true", PW_KEY_NODE_AUTOCONNECT, "false", nullptr);
    data.filter = pw_filter_new_simple(loop, name.c_str(), properties, &filterEvents, &data);
    if (data.filter == nullptr) {
        std::fprintf(stderr, "zephrane-demo-tone: cannot create the filter\n");
        pw_main_loop_destroy(data.loop);
        return 1;
    }
    data.port = pw_filter_add_port(
        data.filter, PW_DIRECTION_OUTPUT, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 0,
        pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, "output", nullptr),
        nullptr, 0);

    spa_hook coreListener{};
    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = onCoreError;
        return events;
    }();

    int result = pw_filter_connect(data.filter, PW_FILTER_FLAG_RT_PROCESS, nullptr, 0);
    if (result < 0) {
        std::fprintf(stderr, "zephrane-demo-tone: cannot connect: %s\n", std::strerror(-result));
        data.status = 1;
    } else {
        if (pw_core* core = pw_filter_get_core(data.filter)) {
            pw_core_add_listener(core, &coreListener, &coreEvents, &data);
        }
        pw_main_loop_run(data.loop);
    }

    if (coreListener.link.next != nullptr) {
        spa_hook_remove(&coreListener);
    }
    pw_filter_destroy(data.filter);
    pw_main_loop_destroy(data.loop);
    pw_deinit();
    return data.status;
}
