#include "filter_node.h"

#include <pipewire/pipewire.h>
#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "audio_path.h"
#include "filter_node_data.h"
#include "graph_links.h"
#include "host_monitor.h"
#include "icon_data.h"
#include "icon_file.h"
#include "instance_factory.h"
#include "log.h"
#include "metrics_endpoint.h"
#include "monitor_settings.h"
#include "startup.h"
#include "stop_signal.h"

namespace zephrane {

namespace {

constexpr const char* NODE_NAME = "KORVEX ZEPHRANE.QX";
constexpr int64_t PROCESS_LATENCY_NS = 10'000'000;
// Without -C, PipeWire would derive an empty node name from an empty application name, and
// the node could not be linked by name.
constexpr const char* DEFAULT_CLIENT_NAME = "zephrane-filter";

pw_properties* makeNodeProperties(const std::string& clientName) {
    const char* applicationName = clientName.empty() ? DEFAULT_CLIENT_NAME : clientName.c_str();
    return pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter", PW_KEY_MEDIA_ROLE,
                             "DSP", PW_KEY_APP_NAME, applicationName, PW_KEY_APP_ICON, iconIcoBase64,
                             PW_KEY_APP_ICON_NAME, iconFilePath.c_str(), nullptr);
}

pw_properties* makePortProperties() {
    return pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, "FL",
                             PW_KEY_AUDIO_CHANNEL, "FL", PW_KEY_AUDIO_RATE, "48000", "audio.allowed-rates",
                             "[ 48000 ]", PW_KEY_AUDIO_FORMAT, "f32", nullptr);
}

const spa_pod* buildProcessLatency(spa_pod_builder& builder) {
    return static_cast<const spa_pod*>(spa_pod_builder_add_object(
        &builder, SPA_TYPE_OBJECT_ParamProcessLatency, SPA_PARAM_ProcessLatency,
        SPA_PARAM_PROCESS_LATENCY_quantum, SPA_POD_Float(0.0f), SPA_PARAM_PROCESS_LATENCY_rate,
        SPA_POD_Int(0), SPA_PARAM_PROCESS_LATENCY_ns, SPA_POD_Long(PROCESS_LATENCY_NS)));
}

// Main loop side: a lost connection ends the run so a service manager can restart us.
void connectionLost(FilterNodeData& data, const char* error) {
    if (data.stopping || data.connectionLost) {
        return;
    }
    data.connectionLost = true;
    data.connectionError = error != nullptr ? error : "";
    pw_main_loop_quit(data.loop);
}

// A killed daemon leaves the filter unconnected (not in its error state) with a text.
void onStateChanged(void* userData, pw_filter_state, pw_filter_state state, const char* error) {
    auto& data = *static_cast<FilterNodeData*>(userData);
    if (state == PW_FILTER_STATE_ERROR || state == PW_FILTER_STATE_UNCONNECTED) {
        connectionLost(data, error != nullptr ? error : pw_filter_state_as_string(state));
    }
}

void onCoreError(void* userData, uint32_t id, int, int res, const char* message) {
    if (id == PW_ID_CORE && res == -EPIPE) {
        connectionLost(*static_cast<FilterNodeData*>(userData), message);
    }
}

// Stops the loop's clients and the current instance, then ends the process; the exit
// handlers remove the icon file and the log facility.
[[noreturn]] void shutDown(FilterNodeData& data, std::unique_ptr<GraphLinks>& links, spa_hook& coreListener,
                           HostMonitor& monitor, int status) {
    ZLOG(LOG_VERB) << "MAIN stopping";
    activeNodeData = nullptr;
    data.stopping = true;
    stopMetricsEndpoint();
    monitor.stop();  // before the links it asks about
    links.reset();
    if (coreListener.link.next != nullptr) {
        spa_hook_remove(&coreListener);
    }
    pw_filter_destroy(data.filter);
    data.filter = nullptr;
    pw_main_loop_destroy(data.loop);
    data.loop = nullptr;
    pw_deinit();
    // The callbacks have ended with the node; the instance object is left to process exit.
    if (data.instance && data.instance->valid()) {
        data.instance->stop();
    }
    ZLOG(LOG_VERB) << "MAIN exiting now";
    std::exit(status);
}

}  // namespace

int runFilterNode(const InstanceSettings& settings, const std::string& clientName, const LinkSettings& links,
                  int argc, char** argv) {
    InstanceFactory instanceFactory = makeInstanceFactory(settings);
    const MonitorSettings monitorSettings = readMonitorSettings();
    installStopSignalHandlers();

    // Lives here for the whole run, which ends in exit() without unwinding.
    FilterNodeData nodeData;
    FilterNodeData* data = &nodeData;
    data->instanceFactory = instanceFactory;
    data->engine = libraryEngineOps();
    activeNodeData = data;

    pw_init(&argc, &argv);
    data->loop = pw_main_loop_new(nullptr);
    if (data->loop == nullptr) {
        ZLOG(LOG_ERROR) << "Cannot create the PipeWire main loop";
        activeNodeData = nullptr;
        return -1;
    }
    writeIconFile();

    static const pw_filter_events filterEvents = [] {
        pw_filter_events events{};
        events.version = PW_VERSION_FILTER_EVENTS;
        events.state_changed = onStateChanged;
        events.process = onProcess;
        return events;
    }();
    data->filter = pw_filter_new_simple(pw_main_loop_get_loop(data->loop), NODE_NAME,
                                        makeNodeProperties(clientName), &filterEvents, data);
    if (data->filter == nullptr) {
        ZLOG(LOG_ERROR) << "Cannot create the PipeWire filter";
        activeNodeData = nullptr;
        return -1;
    }
    data->inputPorts.push_back(pw_filter_add_port(data->filter, PW_DIRECTION_INPUT,
                                                  PW_FILTER_PORT_FLAG_MAP_BUFFERS, 4, makePortProperties(),
                                                  nullptr, 0));
    data->outputPorts.push_back(pw_filter_add_port(data->filter, PW_DIRECTION_OUTPUT,
                                                   PW_FILTER_PORT_FLAG_MAP_BUFFERS, 4, makePortProperties(),
                                                   nullptr, 0));

    uint8_t buffer[1024];
    spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof(buffer));
    const spa_pod* parameters[1] = {buildProcessLatency(builder)};

    if (pw_filter_connect(data->filter, PW_FILTER_FLAG_RT_PROCESS, parameters, 1) < 0) {
        static const char message[] = "can't connect\n";
        std::fwrite(message, 1, sizeof(message) - 1, stderr);
        activeNodeData = nullptr;
        return -1;
    }

    static const pw_core_events coreEvents = [] {
        pw_core_events events{};
        events.version = PW_VERSION_CORE_EVENTS;
        events.error = onCoreError;
        return events;
    }();
    spa_hook coreListener{};
    std::unique_ptr<GraphLinks> graphLinks;
    if (pw_core* core = pw_filter_get_core(data->filter)) {
        pw_core_add_listener(core, &coreListener, &coreEvents, data);
        if (!links.empty()) {
            graphLinks =
                std::make_unique<GraphLinks>(pw_main_loop_get_loop(data->loop), core, data->filter, links);
        }
    }

    // Alarms, watchdog and metrics; shutDown ends it before the loop goes.
    HostMonitor monitor(monitorSettings, data->watch, data->engine.monotonicNanoseconds, engineVersion());
    if (graphLinks) {
        monitor.watchLinks([&links = *graphLinks] { return links.missingLinks(); });
    }
    monitor.start(pw_main_loop_get_loop(data->loop));
    startMetricsEndpoint(monitorSettings, monitor.pages());

    pw_main_loop_run(data->loop);

    if (data->connectionLost) {
        ZLOG(LOG_ERROR) << "Lost the connection to PipeWire: " << data->connectionError;
        shutDown(*data, graphLinks, coreListener, monitor, 255);
    }
    shutDown(*data, graphLinks, coreListener, monitor, 0);
}

}  // namespace zephrane
