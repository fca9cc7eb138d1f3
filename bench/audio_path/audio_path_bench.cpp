// ns per frame of the audio path, with and without the watch's level measurement, of the
// level kernels alone (input and output of one cycle), and of a baseline that only copies
// each cycle in and out and makes the same number of engine calls on a contiguous buffer.
// bench/audio_path/report runs them and prints the ratios and the watch's cost.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

#include "audio_path.h"
#include "signal_levels.h"

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

// The benchmark thread's own processor time: on a shared machine the wall clock also
// counts whatever else runs.
double threadCpuNanoseconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e9 + static_cast<double>(now.tv_nsec);
}

// A plain number: a rate counter would print it with a unit of seconds.
void setCounters(benchmark::State& state, uint32_t frames, double startNs) {
    const double ns = threadCpuNanoseconds() - startNs;
    state.counters["ns_per_frame"] = ns / (static_cast<double>(state.iterations()) * frames);
}

void runAudioPath(benchmark::State& state, bool measureLevels) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    chunkFrames = static_cast<uint32_t>(state.range(1));
    FilterNodeData data;
    data.watch.measureLevels = measureLevels;
    data.engine.getProcessChunkFrames = reportChunkFrames;
    data.engine.processAudioPlanar = engineCall;
    data.instanceFactory = [](uint32_t) { return std::make_shared<BenchInstance>(); };
    std::vector<float> in(frames, 0.5f);
    std::vector<float> out(frames);
    processCycle(data, frames, ENGINE_SAMPLE_RATE, in.data(), out.data());
    const double start = threadCpuNanoseconds();
    for (auto _ : state) {
        processCycle(data, frames, ENGINE_SAMPLE_RATE, in.data(), out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    setCounters(state, frames, start);
}

void audioPath(benchmark::State& state) {
    runAudioPath(state, true);
}

void audioPathWatchOff(benchmark::State& state) {
    runAudioPath(state, false);
}

// The watch's level kernels alone, as a cycle runs them: the input measured, the output
// measured and mended.
void watchLevels(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    std::vector<float> in(frames);
    std::vector<float> out(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        in[i] = 0.5f * static_cast<float>(i % 97) / 97.0f;
        out[i] = -in[i];
    }
    const double start = threadCpuNanoseconds();
    for (auto _ : state) {
        BlockLevels input = measureBlock(in.data(), frames);
        BlockLevels output = measureAndMendBlock(out.data(), frames);
        benchmark::DoNotOptimize(input);
        benchmark::DoNotOptimize(output);
        benchmark::ClobberMemory();
    }
    setCounters(state, frames, start);
}

void baseline(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    const auto chunk = static_cast<uint32_t>(state.range(1));
    ZephraneProcessHandle process = reinterpret_cast<ZephraneProcessHandle>(uintptr_t{1});
    std::vector<float> in(frames, 0.5f);
    std::vector<float> out(frames);
    std::vector<float> work(std::max(frames, chunk));
    uint32_t pending = 0;
    const double start = threadCpuNanoseconds();
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
    setCounters(state, frames, start);
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
BENCHMARK(audioPathWatchOff)->Apply(pairs)->ArgNames({"cycle", "chunk"});
BENCHMARK(baseline)->Apply(pairs)->ArgNames({"cycle", "chunk"});
BENCHMARK(watchLevels)->Arg(32)->Arg(64)->Arg(128)->Arg(256)->Arg(1024)->ArgName("cycle");

BENCHMARK_MAIN();
