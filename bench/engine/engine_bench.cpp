// Cost of the engine's audio path per frame beside a plain gain loop, the time from
// creating a process to its JSON port being ready, and the time to start its web servers.
// Runs against the built library.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "zephrane_engine.h"

namespace {

// Music-like level within the ceiling, or 4 dB over it so the limiter works all the time.
std::vector<float> testSignal(uint32_t frames, bool overCeiling = false) {
    std::vector<float> signal(frames);
    for (uint32_t i = 0; i < frames; ++i) {
        // The loud one is fast enough that every chunk, even of 12 frames, has peaks over.
        signal[i] = overCeiling ? 1.4f * std::sin(0.7f * static_cast<float>(i))
                                : 0.5f * std::sin(0.05f * static_cast<float>(i));
    }
    return signal;
}

void perFrame(benchmark::State& state, uint32_t frames) {
    state.counters["per_frame"] =
        benchmark::Counter(static_cast<double>(frames) * state.iterations(),
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// The reference: one call per chunk of a plain gain loop, as cheap as processing gets.
__attribute__((noinline)) void plainGain(const float* in, float* out, uint32_t frames, float gain) {
    for (uint32_t i = 0; i < frames; ++i) {
        out[i] = in[i] * gain;
    }
}

void BM_PlainGainLoop(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    std::vector<float> in = testSignal(frames), out(frames);
    for (auto _ : state) {
        plainGain(in.data(), out.data(), frames, 0.5f);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perFrame(state, frames);
}

void BM_EngineProcess(benchmark::State& state) {
    const auto frames = static_cast<uint32_t>(state.range(0));
    std::string dir = "/tmp/engine-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    ZephraneParametersHandle parameters = zephrane_NewParameters();
    zephrane_SetParameter(parameters, "STORAGE_RO", "1");
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.c_str(), parameters, frames);
    zephrane_FreeParameters(parameters);
    std::vector<float> in = testSignal(frames, state.range(1) != 0), out(frames);
    const float* inputs[] = {in.data()};
    float* outputs[] = {out.data()};
    for (auto _ : state) {
        zephrane_ProcessAudio_Planar(process, inputs, outputs);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    perFrame(state, frames);
    zephrane_ExitProcess(process);
    ::rmdir(dir.c_str());
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

// What the host waits for on a chunk-size change: create, start the loop, ready.
void BM_InitToReady(benchmark::State& state) {
    std::string dir = "/tmp/engine-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        int port = freePort();
        state.ResumeTiming();
        ZephraneProcessHandle process = zephrane_InitProcess3(dir.c_str(), nullptr, 128);
        std::thread loop([&] { zephrane_StartUpdateThread(process, static_cast<uint32_t>(port)); });
        int ready = zephrane_WaitUpdateThreadReady(process, 5000);
        state.PauseTiming();
        if (ready != 0) {
            state.SkipWithError("not ready");
        }
        zephrane_StopUpdateThread(process);
        loop.join();
        zephrane_ExitProcess(process);
        state.ResumeTiming();
    }
    std::system(("rm -rf " + dir).c_str());
}

// What the host's real-time thread waits for at every cycle-length change when it serves
// the web interface: both servers listening, with the certificate already in the storage
// directory (arg 0), or made for a fresh directory (arg 1, the first start on a board).
void BM_WebServerStart(benchmark::State& state) {
    const bool makeCertificate = state.range(0) != 0;
    std::string dir = "/tmp/engine-bench-XXXXXX";
    if (::mkdtemp(dir.data()) == nullptr) {
        state.SkipWithError("no temporary directory");
        return;
    }
    ::unsetenv("SSL_CERTIFICATE_PATH");
    ::unsetenv("SSL_PRIVATE_PATH");
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.c_str(), nullptr, 128);
    for (auto _ : state) {
        state.PauseTiming();
        if (makeCertificate) {
            std::system(("rm -f " + dir + "/*.pem").c_str());
        }
        auto http = static_cast<uint32_t>(freePort());
        auto https = http;
        while (https == http) {  // a port just released may come back at once
            https = static_cast<uint32_t>(freePort());
        }
        state.ResumeTiming();
        ZephraneWebserverHandle server = zephrane_Webserver(http, https, process);
        state.PauseTiming();
        int status = zephrane_Webserver_Status(server);
        zephrane_Webserver_Stop(server, 1000);
        if (status != 3) {
            state.SkipWithError(("not listening on both ports: status " + std::to_string(status)).c_str());
            break;
        }
        state.ResumeTiming();
    }
    zephrane_ExitProcess(process);
    std::system(("rm -rf " + dir).c_str());
}

}  // namespace

BENCHMARK(BM_PlainGainLoop)->Arg(12)->Arg(48)->Arg(128)->Arg(1024);
BENCHMARK(BM_EngineProcess)->ArgNames({"frames", "limiting"})->ArgsProduct({{12, 48, 128, 1024}, {0, 1}});
BENCHMARK(BM_InitToReady)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_WebServerStart)
    ->ArgName("make_certificate")
    ->Arg(0)
    ->Arg(1)
    ->UseRealTime()
    ->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
