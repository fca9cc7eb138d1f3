#pragma once

#include <cstdint>

#include "filter_node_data.h"

struct spa_io_position;

namespace zephrane {

// The only rate the engine processes; cycles at another graph rate pass through.
inline constexpr uint32_t ENGINE_SAMPLE_RATE = 48000;
// The longest graph cycle PipeWire delivers; the FIFOs reserve room for it.
inline constexpr uint32_t MAX_CYCLE_FRAMES = 8192;
// A creation that failed is not tried again for this long: each try may start an engine
// process and block the audio thread for seconds.
inline constexpr int64_t CREATION_RETRY_INTERVAL_NS = 1'000'000'000;

// One graph cycle of `frames` frames at `rate` Hz: obtains an instance when the cycle length
// changed, feeds `in` through the FIFOs to the engine and writes the result, one engine
// chunk late, to `out`; without a valid instance copies `in` to `out`. Null `in` means
// silence; null `out` means no output buffer. Never throws.
void processCycle(FilterNodeData& data, uint32_t frames, uint32_t rate, const float* in, float* out) noexcept;

// The filter's process callback, on PipeWire's real-time data thread.
void onProcess(void* userData, spa_io_position* position);

}  // namespace zephrane
