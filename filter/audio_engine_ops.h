#pragma once

#include <cstdint>

#include "zephrane_engine.h"

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

}  // namespace zephrane
