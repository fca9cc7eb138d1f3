#pragma once

#include <cstdint>

namespace zephrane {

inline constexpr uint32_t DEFAULT_FRAMES_PER_CHUNK = 12;

// The engine's frames per chunk for a graph cycle of framesPerCycle frames, chosen from
// the engine's possible chunk sizes: an exact match, else the last divisor below, else
// the first multiple above, else the default. Logs the choice at INFO.
uint32_t selectFramesPerChunk(uint32_t framesPerCycle);

// The same choice from a given zero-terminated list (null: empty).
uint32_t selectFramesPerChunkFrom(uint32_t framesPerCycle, const uint32_t* possibleSizes);

}  // namespace zephrane
