#include <time.h>

#include "audio_engine_ops.h"

namespace zephrane {

namespace {

// CLOCK_MONOTONIC is served by the vDSO: no system call on the audio thread.
int64_t readMonotonicClock() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

AudioEngineOps libraryEngineOps() {
    AudioEngineOps ops;
    ops.getProcessChunkFrames = zephrane_GetProcessChunkFrames;
    ops.processAudioPlanar = zephrane_ProcessAudio_Planar;
    ops.monotonicNanoseconds = readMonotonicClock;
    return ops;
}

}  // namespace zephrane
