#include "audio_path.h"

#include <pipewire/filter.h>
#include <spa/node/io.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "log.h"

namespace zephrane {

namespace {

void passThrough(const float* in, float* out, uint32_t frames) {
    if (out == nullptr) {
        return;
    }
    if (in != nullptr) {
        std::memmove(out, in, frames * sizeof(float));
    } else {
        std::fill_n(out, frames, 0.0f);
    }
}

// Logging can run out of memory too; nothing may leave the callback.
void logCreationException(const char* what) noexcept {
    try {
        ZLOG(LOG_FATAL) << "Instance creation failed: " << what;
    } catch (...) {
    }
}

bool hasValidInstance(const FilterNodeData& data) {
    return data.instance && data.instance->valid();
}

void setUpFifos(FilterNodeData& data, uint32_t framesPerChunk) {
    if (data.inputFifos.empty() || data.outputFifos.empty()) {
        data.inputFifos.resize(1);
        data.inputFifos.front().clear();
        data.outputFifos.resize(1);
        data.outputFifos.front().clear();
        data.outputFifos.front().appendZeros(framesPerChunk);
    }
    // Room for the longest cycle on top of what is held, so plain cycles never allocate.
    for (SampleFifo& fifo : data.inputFifos) {
        fifo.reserve(fifo.size() + MAX_CYCLE_FRAMES + 2 * size_t{framesPerChunk});
    }
    for (SampleFifo& fifo : data.outputFifos) {
        fifo.reserve(fifo.size() + MAX_CYCLE_FRAMES + 2 * size_t{framesPerChunk});
    }
}

void markCreationFailed(FilterNodeData& data) {
    data.watch.countCreation(false);
    data.creationFailing = true;
    data.lastFailedCreationNs = data.engine.monotonicNanoseconds();
}

// Asks the factory for an instance for `frames`, at most once per retry interval after a
// failure. The new instance replaces the old one, which is released after it exists.
void obtainInstance(FilterNodeData& data, uint32_t frames) noexcept {
    if (data.creationFailing &&
        data.engine.monotonicNanoseconds() - data.lastFailedCreationNs < CREATION_RETRY_INTERVAL_NS) {
        return;
    }
    try {
        ZLOG(LOG_INFO) << "Process frames = " << frames;
        data.instance = data.instanceFactory(frames);
        // A chunk length of 0 would never consume the input FIFO.
        uint32_t framesPerChunk =
            hasValidInstance(data) ? data.engine.getProcessChunkFrames(data.instance->process) : 0;
        if (framesPerChunk == 0) {
            data.instance.reset();
            ZLOG(LOG_WARN) << "Invalid instance";
            markCreationFailed(data);
            return;
        }
        ZLOG(LOG_VERB5) << "Instance OK, creating buffers";
        setUpFifos(data, framesPerChunk);
        data.framesPerCycle = frames;
        data.creationFailing = false;
        data.watch.countCreation(true);
        data.watch.setChunk(framesPerChunk);
    } catch (const std::exception& e) {
        data.instance.reset();
        logCreationException(e.what());
        markCreationFailed(data);
    } catch (...) {
        data.instance.reset();
        logCreationException("unknown exception");
        markCreationFailed(data);
    }
}

// False when the graph runs at a rate the engine cannot process. Logs once per change.
bool followGraphRate(FilterNodeData& data, uint32_t rate) {
    if (rate == 0) {
        return true;  // no rate known: assume the node's own
    }
    bool supported = rate == ENGINE_SAMPLE_RATE;
    if (rate != data.graphRate) {
        if (!supported) {
            ZLOG(LOG_WARN) << "Graph rate " << rate << " Hz is not " << ENGINE_SAMPLE_RATE
                           << " Hz, passing audio through";
        } else if (data.graphRate != 0) {
            ZLOG(LOG_INFO) << "Graph rate back at " << ENGINE_SAMPLE_RATE << " Hz, processing resumes";
        }
        data.graphRate = rate;
    }
    return supported;
}

// Feeds one cycle to the engine through the two FIFOs: the input is appended to the input
// FIFO, the engine reads whole chunks from there and writes straight into the output
// FIFO, and a cycle's worth leaves from the front of the output FIFO.
void processThroughFifos(FilterNodeData& data, uint32_t framesPerChunk, const float* in, float* out) {
    SampleFifo& input = data.inputFifos.front();
    SampleFifo& output = data.outputFifos.front();
    const ZephraneProcessHandle process = data.instance->process;
    const uint32_t frames = data.framesPerCycle;

    if (in != nullptr) {
        input.append(in, frames);
    } else {
        input.appendZeros(frames);
    }
    // The FIFO holds less than 2^32 samples; a 32-bit division is the cheaper one.
    const uint32_t chunks = static_cast<uint32_t>(input.size()) / framesPerChunk;
    if (chunks != 0) {
        const float* from = input.data();
        float* to = output.appendForWriting(size_t{chunks} * framesPerChunk);
        for (uint32_t i = 0; i < chunks; ++i, from += framesPerChunk, to += framesPerChunk) {
            const float* inputs[1] = {from};
            float* outputs[1] = {to};
            data.engine.processAudioPlanar(process, inputs, outputs);
        }
        input.consume(size_t{chunks} * framesPerChunk);
    }
    // After a change of chunk length the output FIFO can hold less than a cycle.
    const size_t available = std::min<size_t>(frames, output.size());
    if (out != nullptr) {
        std::memcpy(out, output.data(), available * sizeof(float));
        if (available < frames) {
            std::memset(out + available, 0, (frames - available) * sizeof(float));
        }
    }
    output.consume(available);
}

// The same result with less copying, for a cycle of at least one chunk with separate
// input and output buffers and less than a chunk waiting in the input FIFO: whole chunks are read straight
// from the input buffer, and written straight into the output buffer while a whole chunk still fits there
// behind what the output FIFO held; only the pieces at either end go through the FIFOs.
void processDirect(FilterNodeData& data, uint32_t framesPerChunk, const float* in, float* out) {
    SampleFifo& input = data.inputFifos.front();
    SampleFifo& output = data.outputFifos.front();
    const ZephraneProcessHandle process = data.instance->process;
    const auto processAudio = data.engine.processAudioPlanar;
    const uint32_t frames = data.framesPerCycle;

    const auto leftover = static_cast<uint32_t>(input.size());
    const uint32_t chunks = (leftover + frames) / framesPerChunk;
    const size_t held = output.size();
    const size_t fromHeld = std::min<size_t>(held, frames);
    const uint32_t direct =
        held < frames ? std::min(chunks, static_cast<uint32_t>((frames - held) / framesPerChunk)) : 0;
    // Out of the output FIFO first: appending below may move its samples.
    std::memcpy(out, output.data(), fromHeld * sizeof(float));
    float* late =
        chunks > direct ? output.appendForWriting(size_t{chunks - direct} * framesPerChunk) : nullptr;
    float* early = out + held;
    auto run = [&](uint32_t index, const float* from) {
        const float* inputs[1] = {from};
        float* outputs[1] = {index < direct ? early + size_t{index} * framesPerChunk
                                            : late + size_t{index - direct} * framesPerChunk};
        processAudio(process, inputs, outputs);
    };

    const float* next = in;
    uint32_t i = 0;
    if (leftover != 0 && chunks != 0) {
        // The first chunk starts with what earlier cycles left over.
        input.append(in, framesPerChunk - leftover);
        run(0, input.data());
        input.consume(framesPerChunk);
        next += framesPerChunk - leftover;
        i = 1;
    }
    for (; i < chunks; ++i, next += framesPerChunk) {
        run(i, next);
    }
    input.append(next, static_cast<size_t>(in + frames - next));

    // The rest of the cycle comes from the chunks that went into the FIFO behind what it held.
    size_t filled = held >= frames ? frames : held + size_t{direct} * framesPerChunk;
    size_t used = fromHeld;
    if (filled < frames) {
        const size_t later = std::min<size_t>(frames - filled, output.size() - held);
        std::memcpy(out + filled, output.data() + held, later * sizeof(float));
        filled += later;
        used += later;
        if (filled < frames) {
            std::memset(out + filled, 0, (frames - filled) * sizeof(float));
        }
    }
    output.consume(used);
}

// Below this cycle length the direct way's extra bookkeeping costs more than the copying
// it saves (measured with bench/audio_path).
constexpr uint32_t DIRECT_MIN_FRAMES = 128;

void processThroughEngine(FilterNodeData& data, uint32_t framesPerChunk, const float* in, float* out) {
    const uint32_t frames = data.framesPerCycle;
    const bool separate = in != nullptr && out != nullptr && (out >= in + frames || in >= out + frames);
    // After a change of chunk length the input FIFO can hold more than a chunk.
    if (separate && frames >= framesPerChunk && frames >= DIRECT_MIN_FRAMES &&
        data.inputFifos.front().size() < framesPerChunk) {
        processDirect(data, framesPerChunk, in, out);
    } else {
        processThroughFifos(data, framesPerChunk, in, out);
    }
}

}  // namespace

namespace {

void runCycle(FilterNodeData& data, uint32_t frames, uint32_t rate, const float* in, float* out) noexcept {
    if ((rate != data.graphRate || rate != ENGINE_SAMPLE_RATE) && !followGraphRate(data, rate)) {
        data.watch.setBypass(BypassReason::graphRate);
        passThrough(in, out, frames);
        return;
    }
    if (frames != data.framesPerCycle) {
        obtainInstance(data, frames);
    }
    uint32_t framesPerChunk =
        hasValidInstance(data) ? data.engine.getProcessChunkFrames(data.instance->process) : 0;
    if (framesPerChunk == 0 || frames != data.framesPerCycle) {
        data.watch.setBypass(data.creationFailing ? BypassReason::creationFailing : BypassReason::noInstance);
        passThrough(in, out, frames);
        return;
    }
    data.watch.setBypass(BypassReason::none);
    try {
        processThroughEngine(data, framesPerChunk, in, out);
    } catch (...) {
        // Only a FIFO growing past its reservation can throw; lose this cycle, not the host.
        passThrough(nullptr, out, frames);
    }
}

}  // namespace

void processCycle(FilterNodeData& data, uint32_t frames, uint32_t rate, const float* in,
                  float* out) noexcept {
    data.watch.setQuantum(frames);
    // The input is measured before the cycle: the output buffer may be the input buffer.
    if (data.watch.measureLevels) {
        data.watch.recordInput(in != nullptr ? measureBlock(in, frames) : BlockLevels{}, frames);
    }
    runCycle(data, frames, rate, in, out);
    if (data.watch.measureLevels && out != nullptr) {
        data.watch.recordOutput(measureAndMendBlock(out, frames), frames);
    }
}

void onProcess(void* userData, spa_io_position* position) {
    if (userData == nullptr || position == nullptr) {
        return;
    }
    auto& data = *static_cast<FilterNodeData*>(userData);
    auto frames = static_cast<uint32_t>(position->clock.duration);
    data.watch.enterCallback(data.engine.monotonicNanoseconds());
    data.watch.notePosition(position->clock.position, frames, position->clock.rate.denom);
    const float* in =
        data.inputPorts.empty()
            ? nullptr
            : static_cast<const float*>(pw_filter_get_dsp_buffer(data.inputPorts.front(), frames));
    float* out = data.outputPorts.empty()
                     ? nullptr
                     : static_cast<float*>(pw_filter_get_dsp_buffer(data.outputPorts.front(), frames));
    processCycle(data, frames, position->clock.rate.denom, in, out);
    data.watch.leaveCallback(data.engine.monotonicNanoseconds(), frames, position->clock.rate.denom);
}

}  // namespace zephrane
