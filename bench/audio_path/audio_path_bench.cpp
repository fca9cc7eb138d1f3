// ns per frame of the audio path and of a baseline that only copies each cycle in and out
// and makes the same number of engine calls on a contiguous buffer. bench/audio_path/report
// runs both and prints their ratio.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "audio_path.h"

// The instance's teardown links against these; benchmark instances never reach them.
extern "C" {
void zephrane_FreeParameters(ZephraneParametersHandle) {}
int zephrane_Webserver_Stop(ZephraneWebserverHandle, int) {
    return 0;
}
int zephrane_StopUpdateThread(ZephraneProcessHandle) {
    return 0;
}
void zephrane_ExitProcess(ZephraneProcessHandle) {}
}

namespace {

using namespace zephrane;

uint32_t chunkFrames = 12;

uint32_t reportChunkFrames(ZephraneProcessHandle) {
    return chunkFrames;
}

__attribute__((noinline)) int processNothing(ZephraneProcessHandle, const float* const* inputs,
                                             float* const* outputs) {
    benchmark::DoNotOptimize(inputs[0]);
    benchmark::DoNotOptimize(outputs[0]);
    return 0;
}

// The engine calls of both sides go through a pointer, as the host's do.
int (*volatile engineCall)(ZephraneProcessHandle, const float* const*, float* const*) = processNothing;

class BenchInstance : public ProcessingInstance {
  public:
    BenchInstance() { process = reinterpret_cast<ZephraneProcessHandle>(uintptr_t{1}); }
    ~BenchInstance() override { process = nullptr; }
};

void setCounters(benchmark::State& state, uint32_t frames) {
    state.counters["ns_per_frame"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * frames * 1e-9,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void audioPath(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    chunkFrames = static_cast<uint32_t>(state.range(1));
    FilterNodeData data;
    data.engine.getProcessChunkFrames = reportChunkFrames;
    data.engine.processAudioPlanar = engineCall;
    data.instanceFactory = [](uint32_t) { return std::make_shared<BenchInstance>(); };
    std::vector<float> in(frames, 0.5f);
    std::vector<float> out(frames);
    processCycle(data, frames, ENGINE_SAMPLE_RATE, in.data(), out.data());
    for (auto _ : state) {
        processCycle(data, frames, ENGINE_SAMPLE_RATE, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, frames);
}

void baseline(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    const auto chunk = static_cast<uint32_t>(state.range(1));
    ZephraneProcessHandle process = reinterpret_cast<ZephraneProcessHandle>(uintptr_t{1});
    std::vector<float> in(frames, 0.5f);
    std::vector<float> out(frames);
    std::vector<float> work(std::max(frames, chunk));
    uint32_t pending = 0;
    for (auto _ : state) {
        std::memcpy(work.data(), in.data(), frames * sizeof(float));
        pending += frames;
        uint32_t calls = pending / chunk;
        pending -= calls * chunk;
        for (uint32_t i = 0; i < calls; ++i) {
            const float* inputs[1] = {work.data() + (i * chunk) % (work.size() - chunk + 1)};
            float* outputs[1] = {work.data() + (i * chunk) % (work.size() - chunk + 1)};
            engineCall(process, inputs, outputs);
        }
        std::memcpy(out.data(), work.data(), frames * sizeof(float));
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, frames);
}

void pairs(benchmark::internal::Benchmark* b) {
    for (int64_t frames : {32, 64, 128, 256, 1024}) {
        for (int64_t chunk : {12, 48, 128}) {
            b->Args({frames, chunk});
        }
    }
}

}  // namespace

BENCHMARK(audioPath)->Apply(pairs)->ArgNames({"cycle", "chunk"});
BENCHMARK(baseline)->Apply(pairs)->ArgNames({"cycle", "chunk"});

BENCHMARK_MAIN();
