#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "audio_engine_ops.h"
#include "audio_watch.h"
#include "instance_factory.h"
#include "processing_instance.h"
#include "sample_fifo.h"

namespace zephrane {

// What the process callback alone reads and writes while the node exists: the instance,
// the FIFOs between the graph's cycle and the engine's chunk, and the watch.
struct RealtimeSide {
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
};

}  // namespace zephrane
