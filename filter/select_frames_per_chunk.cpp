#include "select_frames_per_chunk.h"

#include "log.h"
#include "zephrane_engine.h"

namespace zephrane {

namespace {

uint32_t useDefault() {
    ZLOG(LOG_INFO) << "Using default frames per chunk=" << DEFAULT_FRAMES_PER_CHUNK;
    return DEFAULT_FRAMES_PER_CHUNK;
}

uint32_t chooseFrom(uint32_t n, const uint32_t* sizes) {
    if (sizes == nullptr || sizes[0] == 0) {
        return 0;
    }
    // Candidates below n, up to the first entry above it; the list is expected ascending.
    size_t candidates = 0;
    for (; sizes[candidates] != 0; ++candidates) {
        uint32_t v = sizes[candidates];
        if (v == n) {
            ZLOG(LOG_INFO) << "Selecting processing frames per chunk=" << n;
            return n;
        }
        if (v > n) {
            break;
        }
    }
    for (size_t i = candidates; i-- > 0;) {
        if (n % sizes[i] == 0) {
            ZLOG(LOG_INFO) << "Selecting processing frames per chunk=" << sizes[i] << " (direct multiple)";
            return sizes[i];
        }
    }
    for (const uint32_t* v = sizes; *v != 0; ++v) {
        if (*v > n && *v % n == 0) {
            ZLOG(LOG_INFO) << "Selecting processing frames per chunk=" << *v << " (direct multiple)";
            return *v;
        }
    }
    return 0;
}

}  // namespace

uint32_t selectFramesPerChunkFrom(uint32_t framesPerCycle, const uint32_t* possibleSizes) {
    if (framesPerCycle == 0) {
        return useDefault();
    }
    if (uint32_t chosen = chooseFrom(framesPerCycle, possibleSizes); chosen != 0) {
        return chosen;
    }
    ZLOG(LOG_INFO) << "Did not find a good frames per chunk ratio";
    return useDefault();
}

uint32_t selectFramesPerChunk(uint32_t framesPerCycle) {
    if (framesPerCycle == 0) {
        return useDefault();
    }
    return selectFramesPerChunkFrom(framesPerCycle, zephrane_GetPossibleChunkSizeInFrames());
}

}  // namespace zephrane
