#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio_watch.h"
#include "instance_factory.h"
#include "processing_instance.h"
#include "sample_fifo.h"
#include "zephrane_engine.h"

struct pw_main_loop;
struct pw_filter;

namespace zephrane {

// The engine operations of the audio path, replaceable so the path can be driven without
// the engine library (benchmarks, tests).
struct AudioEngineOps {
    uint32_t (*getProcessChunkFrames)(ZephraneProcessHandle process) = nullptr;
    int (*processAudioPlanar)(ZephraneProcessHandle process, const float* const* inputs,
                              float* const* outputs) = nullptr;
    // Monotonic time in nanoseconds: at the start and end of each callback, and while
    // instance creation is failing.
    int64_t (*monotonicNanoseconds)() = nullptr;
};

// The engine library's own operations and the system's monotonic clock.
AudioEngineOps libraryEngineOps();

// The filter node's record, shared by the main loop side and the process callback. Lives
// in the entry point for the whole run and is never copied.
struct FilterNodeData {
    FilterNodeData() = default;
    FilterNodeData(const FilterNodeData&) = delete;
    FilterNodeData& operator=(const FilterNodeData&) = delete;

    pw_main_loop* loop = nullptr;
    pw_filter* filter = nullptr;
    std::vector<void*> inputPorts;
    std::vector<void*> outputPorts;
    // The process callback alone touches the fields below while the node exists.
    uint32_t framesPerCycle = 0;
    InstanceFactory instanceFactory;
    std::shared_ptr<ProcessingInstance> instance;
    std::vector<SampleFifo> inputFifos;
    std::vector<SampleFifo> outputFifos;

    AudioEngineOps engine;
    // Graph rate of the last cycle; 0 before the first.
    uint32_t graphRate = 0;
    // Set while instance creation keeps failing, to space out the retries.
    bool creationFailing = false;
    int64_t lastFailedCreationNs = 0;
    // What the audio path sees of its own audio, for the main loop's alarms and metrics.
    AudioWatch watch;

    // Main loop side: set when the PipeWire connection was lost, with PipeWire's text.
    bool connectionLost = false;
    std::string connectionError;
    // Set before the host disconnects on purpose, so that is not taken for a loss.
    bool stopping = false;
};

}  // namespace zephrane
