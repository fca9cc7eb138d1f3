#pragma once

#include <thread>

#include "instance_settings.h"
#include "zephrane_engine.h"

namespace zephrane {

// One running engine process with everything that lives as long as it: its parameter set,
// the metadata waiting for it, the update thread serving the JSON port and the web server.
// Held by shared pointers; dropping the last one stops everything in reverse order.
class ProcessingInstance {
  public:
    ProcessingInstance() = default;
    ProcessingInstance(const ProcessingInstance&) = delete;
    ProcessingInstance& operator=(const ProcessingInstance&) = delete;
    virtual ~ProcessingInstance();

    // Run on the update thread right before and after the engine's update loop.
    virtual void beforeUpdateLoop() {}
    virtual void afterUpdateLoop() {}

    // Web server, update loop and engine process, in that order. Also what the host runs
    // at shutdown, leaving the object itself to process exit.
    void stop();

    // Only an instance with an engine process can process audio.
    bool valid() const { return process != nullptr; }

    ZephraneParametersHandle parameters = nullptr;
    ZephraneProcessHandle process = nullptr;
    std::thread updateThread;
    KeyValueList pendingMetadata;
    ZephraneWebserverHandle webserver = -1;
};

}  // namespace zephrane
