#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "audio_path.h"
#include "fake_engine.h"
#include "log_capture.h"

namespace zephrane {
namespace {

using testing::FakeEngine;
using testing::FakeInstance;
using testing::LogCapture;

constexpr int64_t SECOND = 1'000'000'000;

// Input sample k of the stream is k + 1, so every sample is distinct and exact in float.
class AudioPath : public ::testing::Test {
  protected:
    AudioPath() {
        data.engine = engine.ops();
        data.instanceFactory = [this](uint32_t frames) -> std::shared_ptr<ProcessingInstance> {
            requests.push_back(frames);
            if (failCreation) {
                return nullptr;
            }
            if (throwOnCreation) {
                throw std::bad_alloc();
            }
            return std::make_shared<FakeInstance>(static_cast<int>(requests.size()), &events);
        };
    }

    // Runs one cycle of n frames from the running input stream; returns its output.
    std::vector<float> cycle(uint32_t n, bool withInput = true, uint32_t rate = ENGINE_SAMPLE_RATE) {
        std::vector<float> in(n);
        for (uint32_t i = 0; i < n; ++i) {
            in[i] = static_cast<float>(++produced);
        }
        std::vector<float> out(n, -1.0f);
        processCycle(data, n, rate, withInput ? in.data() : nullptr, out.data());
        return out;
    }

    std::vector<float> run(uint32_t n, int cycles) {
        std::vector<float> all;
        for (int i = 0; i < cycles; ++i) {
            std::vector<float> out = cycle(n);
            all.insert(all.end(), out.begin(), out.end());
        }
        return all;
    }

    size_t inputHeld() const { return data.inputFifos.empty() ? 0 : data.inputFifos[0].size(); }
    size_t outputHeld() const { return data.outputFifos.empty() ? 0 : data.outputFifos[0].size(); }

    LogCapture log;
    FakeEngine engine;
    std::vector<uint32_t> requests;
    std::vector<std::string> events;
    bool failCreation = false;
    bool throwOnCreation = false;
    uint64_t produced = 0;
    // Last, so its instances go before what they report to.
    FilterNodeData data;
};

struct Pair {
    uint32_t cycle;
    uint32_t chunk;
};
void PrintTo(const Pair& pair, std::ostream* os) {
    *os << pair.cycle << "/" << pair.chunk;
}

class AudioPathLag : public AudioPath, public ::testing::WithParamInterface<Pair> {};

TEST_P(AudioPathLag, OutputIsTheEngineResultOneChunkLateAndTheFifosStayBalanced) {
    const auto [n, c] = GetParam();
    engine.chunkFrames = c;
    std::vector<float> output;
    for (int i = 1; i <= 24; ++i) {
        std::vector<float> out = cycle(n);
        output.insert(output.end(), out.begin(), out.end());
        // What is left over in the input waits for a whole chunk; the output holds the rest.
        EXPECT_EQ(inputHeld(), (uint64_t{n} * i) % c) << "cycle " << i;
        EXPECT_EQ(inputHeld() + outputHeld(), c) << "cycle " << i;
    }
    EXPECT_EQ(requests, std::vector<uint32_t>{n});
    for (size_t k = 0; k < output.size(); ++k) {
        float expected = k < c ? 0.0f : 2.0f * static_cast<float>(k - c + 1);
        ASSERT_EQ(output[k], expected) << "frame " << k;
    }
    EXPECT_EQ(engine.calls, output.size() / c);
}

INSTANTIATE_TEST_SUITE_P(Pairs, AudioPathLag,
                         ::testing::Values(Pair{256, 128}, Pair{256, 96}, Pair{64, 128}, Pair{32, 12},
                                           Pair{1024, 48}, Pair{48, 48}, Pair{8192, 2048}),
                         [](const auto& info) {
                             return std::to_string(info.param.cycle) + "_" + std::to_string(info.param.chunk);
                         });

TEST_F(AudioPath, LogsTheCreationOfAnInstance) {
    cycle(256);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"INFO Process frames = 256", "VERB5 Instance OK, creating buffers"}));
    log.clear();
    run(256, 10);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AudioPath, MissingInputFeedsExactZerosWithoutShiftingTheOutput) {
    engine.chunkFrames = 96;
    std::vector<float> output = run(256, 2);
    std::vector<float> out = cycle(256, false);
    output.insert(output.end(), out.begin(), out.end());
    std::vector<float> rest = run(256, 2);
    output.insert(output.end(), rest.begin(), rest.end());

    for (size_t k = 0; k < engine.fed.size(); ++k) {
        float expected = (k >= 512 && k < 768) ? 0.0f : static_cast<float>(k + 1);
        ASSERT_EQ(engine.fed[k], expected) << "fed sample " << k;
    }
    for (size_t k = 96; k < output.size(); ++k) {
        ASSERT_EQ(output[k], 2.0f * engine.fed[k - 96]) << "frame " << k;
    }
}

TEST_F(AudioPath, MissingOutputBufferStillDrainsTheOutputFifo) {
    engine.chunkFrames = 128;
    cycle(256);
    produced += 256;
    processCycle(data, 256, ENGINE_SAMPLE_RATE, nullptr, nullptr);
    EXPECT_EQ(inputHeld() + outputHeld(), 128u);
    std::vector<float> out = cycle(256);
    // The silent cycle went by unheard; the output stays one chunk behind the input.
    EXPECT_EQ(out[0], 0.0f);
    EXPECT_EQ(out[128], 2.0f * 513.0f);
}

TEST_F(AudioPath, ZeroFramesOnTheFirstCycleRequestsNothing) {
    float untouched = 7.0f;
    processCycle(data, 0, ENGINE_SAMPLE_RATE, nullptr, &untouched);
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(untouched, 7.0f);
}

TEST_F(AudioPath, ANewCycleLengthMakesANewInstanceBeforeTheOldOneGoes) {
    engine.chunkFrames = 128;
    run(256, 3);
    engine.chunkFrames = 128;
    run(512, 3);
    EXPECT_EQ(requests, (std::vector<uint32_t>{256, 512}));
    EXPECT_EQ(events, (std::vector<std::string>{"create 1", "create 2", "release 1"}));
    EXPECT_EQ(data.framesPerCycle, 512u);
}

TEST_F(AudioPath, AnOutputFifoThatRunsShortAfterAChunkChangeEndsInSilence) {
    engine.chunkFrames = 12;
    run(256, 4);
    size_t r = inputHeld();
    size_t left = outputHeld();
    ASSERT_EQ(r + left, 12u);
    engine.chunkFrames = 128;
    std::vector<float> out = cycle(32);
    // 32 + r samples are less than a chunk: only the old leftovers come out, then silence.
    for (size_t k = 0; k < left; ++k) {
        EXPECT_EQ(out[k], 2.0f * static_cast<float>(4 * 256 - 12 + 1 + k));
    }
    for (size_t k = left; k < 32; ++k) {
        EXPECT_EQ(out[k], 0.0f) << k;
    }
    EXPECT_EQ(outputHeld(), 0u);
    // Keeps running without reading past what the FIFO holds.
    std::vector<float> later = run(32, 12);
    EXPECT_EQ(engine.calls, (4 * 256 - r) / 12 + (r + 32 * 13) / 128);
    EXPECT_EQ(later.size(), 32u * 12);
}

TEST_F(AudioPath, WithoutAnInstanceTheAudioPassesThroughAndCreationIsRetriedOncePerSecond) {
    failCreation = true;
    engine.nowNs = 5 * SECOND;
    std::vector<float> out = cycle(256);
    for (uint32_t k = 0; k < 256; ++k) {
        ASSERT_EQ(out[k], static_cast<float>(k + 1));
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO Process frames = 256", "WARN Invalid instance"}));
    EXPECT_TRUE(data.inputFifos.empty());

    log.clear();
    engine.nowNs += SECOND - 1;
    run(256, 50);
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_TRUE(log.lines().empty());
    std::vector<float> null(256, -1.0f);
    processCycle(data, 256, ENGINE_SAMPLE_RATE, nullptr, null.data());
    EXPECT_EQ(null, std::vector<float>(256, 0.0f));

    engine.nowNs += 1;
    run(256, 1);
    EXPECT_EQ(requests.size(), 2u);
    EXPECT_EQ(log.count("WARN Invalid instance"), 1u);

    failCreation = false;
    engine.nowNs += SECOND;
    cycle(256);
    EXPECT_EQ(requests.size(), 3u);
    EXPECT_EQ(data.framesPerCycle, 256u);
    // Once running again a failure no longer delays a change of cycle length.
    run(128, 1);
    EXPECT_EQ(requests.size(), 4u);
}

TEST_F(AudioPath, AFailedChangeBackToTheOldCycleLengthStaysInBypass) {
    run(256, 2);
    failCreation = true;
    run(512, 1);
    engine.nowNs += 10 * SECOND;
    std::vector<float> out = cycle(256);
    EXPECT_EQ(requests, (std::vector<uint32_t>{256, 512}));
    EXPECT_EQ(out[0], static_cast<float>(produced - 255));
}

TEST_F(AudioPath, AChunkLengthOfZeroIsAnInvalidInstance) {
    engine.chunkFrames = 0;
    std::vector<float> out = cycle(64);
    EXPECT_EQ(out[0], 1.0f);
    EXPECT_EQ(log.count("WARN Invalid instance"), 1u);
    EXPECT_EQ(events, (std::vector<std::string>{"create 1", "release 1"}));
    EXPECT_EQ(data.framesPerCycle, 0u);

    engine.chunkFrames = 16;
    engine.nowNs += SECOND;
    cycle(64);
    EXPECT_EQ(data.framesPerCycle, 64u);
    EXPECT_EQ(engine.calls, 4u);
}

TEST_F(AudioPath, AnExceptionFromCreationIsLoggedAndTheAudioPassesThrough) {
    run(256, 2);
    throwOnCreation = true;
    std::vector<float> out = cycle(128);
    EXPECT_EQ(out[5], static_cast<float>(512 + 6));
    ASSERT_EQ(log.lines().size(), 4u);
    EXPECT_EQ(log.lines()[3].rfind("FATAL ", 0), 0u) << log.lines()[3];
    EXPECT_EQ(events, (std::vector<std::string>{"create 1", "release 1"}));
    EXPECT_FALSE(data.instance);

    throwOnCreation = false;
    engine.nowNs += SECOND;
    cycle(128);
    EXPECT_EQ(data.framesPerCycle, 128u);
}

TEST_F(AudioPath, AnotherGraphRatePassesThroughWithOneWarningPerChange) {
    std::vector<float> out = cycle(256, true, 44100);
    EXPECT_EQ(out[255], 256.0f);
    for (int i = 0; i < 20; ++i) {
        cycle(256, true, 44100);
    }
    EXPECT_TRUE(requests.empty());
    EXPECT_EQ(log.lines(),
              std::vector<std::string>{"WARN Graph rate 44100 Hz is not 48000 Hz, passing audio through"});

    log.clear();
    cycle(256);
    EXPECT_EQ(requests.size(), 1u);
    EXPECT_EQ(log.lines().front(), "INFO Graph rate back at 48000 Hz, processing resumes");
    run(256, 3);
    cycle(256, true, 96000);
    cycle(256, true, 96000);
    EXPECT_EQ(log.count("WARN Graph rate 96000 Hz is not 48000 Hz, passing audio through"), 1u);
    EXPECT_EQ(requests.size(), 1u);
}

// Separate buffers let the engine read and write the port buffers directly; one buffer
// for both forces every sample through the FIFOs. Both must give the same stream,
// through changes of cycle and chunk length that leave the output FIFO short.
TEST(AudioPathWays, SeparateAndSharedBuffersGiveTheSameOutput) {
    FakeEngine engine;
    engine.keepInput = false;
    auto factory = [](uint32_t) -> std::shared_ptr<ProcessingInstance> {
        return std::make_shared<FakeInstance>(1, nullptr);
    };
    FilterNodeData separate;
    FilterNodeData shared;
    for (FilterNodeData* data : {&separate, &shared}) {
        data->engine = engine.ops();
        data->instanceFactory = factory;
    }
    struct Step {
        uint32_t cycle;
        uint32_t chunk;
        int cycles;
    };
    const Step steps[] = {{512, 12, 6}, {256, 200, 6},   {1024, 48, 5}, {128, 128, 5}, {256, 96, 5},
                          {32, 12, 3},  {8192, 2048, 3}, {256, 7, 4},   {128, 300, 6}, {1024, 1, 2}};
    uint64_t produced = 0;
    for (const Step& step : steps) {
        engine.chunkFrames = step.chunk;
        for (int i = 0; i < step.cycles; ++i) {
            std::vector<float> in(step.cycle);
            for (float& sample : in) {
                sample = static_cast<float>(++produced);
            }
            std::vector<float> out(step.cycle, -1.0f);
            std::vector<float> inPlace = in;
            processCycle(separate, step.cycle, ENGINE_SAMPLE_RATE, in.data(), out.data());
            processCycle(shared, step.cycle, ENGINE_SAMPLE_RATE, inPlace.data(), inPlace.data());
            ASSERT_EQ(out, inPlace) << step.cycle << "/" << step.chunk << " cycle " << i;
            ASSERT_EQ(separate.inputFifos[0].size(), shared.inputFifos[0].size());
            ASSERT_EQ(separate.outputFifos[0].size(), shared.outputFifos[0].size());
        }
    }
}

}  // namespace
}  // namespace zephrane
