// A cycle that does not create an instance must not allocate: counts every allocation the
// test thread makes through operator new and, outside the sanitizers (which own malloc),
// through malloc itself.
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <new>
#include <vector>

#include "audio_path.h"
#include "fake_engine.h"
#include "log.h"

namespace {

thread_local bool tracking = false;
thread_local size_t allocations = 0;

void note() {
    if (tracking) {
        ++allocations;
    }
}

}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* pointer, size_t size);
void __libc_free(void* pointer);

void* malloc(size_t size) {
    note();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    note();
    return __libc_calloc(count, size);
}
void* realloc(void* pointer, size_t size) {
    note();
    return __libc_realloc(pointer, size);
}
void free(void* pointer) {
    if (pointer != nullptr) {
        note();
    }
    __libc_free(pointer);
}
}
#endif

namespace {

void* obtain(size_t size) noexcept {
    note();
    return std::malloc(size == 0 ? 1 : size);
}

void release(void* p) noexcept {
    if (p != nullptr) {
        note();
    }
    std::free(p);
}

}  // namespace

void* operator new(size_t size) {
    if (void* p = obtain(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    if (void* p = obtain(size)) {
        return p;
    }
    throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    return obtain(size);
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    return obtain(size);
}
void operator delete(void* p) noexcept {
    release(p);
}
void operator delete[](void* p) noexcept {
    release(p);
}
void operator delete(void* p, size_t) noexcept {
    release(p);
}
void operator delete[](void* p, size_t) noexcept {
    release(p);
}

namespace zephrane {
namespace {

using testing::FakeEngine;
using testing::FakeInstance;

class NullSink : public LogSink {
  public:
    void write(const LogRecord&) override {}
};

class AudioPathAllocation : public ::testing::Test {
  protected:
    AudioPathAllocation() : logger(LOG_DEBUG) {
        logger.addSink(&sink);
        engine.keepInput = false;
        data.engine = engine.ops();
        data.instanceFactory = [this](uint32_t) -> std::shared_ptr<ProcessingInstance> {
            if (failCreation) {
                return nullptr;
            }
            return std::make_shared<FakeInstance>(1, nullptr);
        };
        in.assign(MAX_CYCLE_FRAMES, 0.25f);
        out.assign(MAX_CYCLE_FRAMES, 0.0f);
    }

    // Runs `cycles` cycles of n frames, the first untracked when it makes an instance;
    // returns the allocations of the tracked ones.
    size_t run(uint32_t n, int cycles, uint32_t rate = ENGINE_SAMPLE_RATE) {
        int i = 0;
        if (n != data.framesPerCycle) {
            processCycle(data, n, rate, in.data(), out.data());
            ++i;
        }
        allocations = 0;
        tracking = true;
        for (; i < cycles; ++i) {
            // The callback's own part of the watch, as onProcess does it.
            data.watch.enterCallback(engine.nowNs);
            data.watch.notePosition(position, n, 48000);
            position += i % 13 == 0 ? 3 * n : n;  // now and then the graph skips cycles
            // Now and then a port has no buffer.
            processCycle(data, n, rate, i % 7 == 3 ? nullptr : in.data(), i % 11 == 5 ? nullptr : out.data());
            engine.nowNs += 1'000'000;
            data.watch.leaveCallback(engine.nowNs, n, rate);
        }
        tracking = false;
        return allocations;
    }

    Logger logger;
    NullSink sink;
    FakeEngine engine;
    FilterNodeData data;
    std::vector<float> in;
    std::vector<float> out;
    bool failCreation = false;
    uint64_t position = 0;
};

// Without this the tests below would pass with a counter that sees nothing.
TEST(AllocationCounter, SeesOperatorNewAndMalloc) {
    allocations = 0;
    tracking = true;
    auto* volatile object = new std::vector<float>(16);
    delete object;
    tracking = false;
    EXPECT_GE(allocations, 4u);
}

TEST_F(AudioPathAllocation, PlainCyclesAtEveryCycleAndChunkLengthAllocateNothing) {
    const uint32_t cycleLengths[] = {32, 64, 128, 256, 1024, 8192};
    const uint32_t chunkLengths[] = {12, 48, 128, 2048};
    // Every change is also a change of chunk length with the FIFOs' old contents kept.
    for (uint32_t chunk : chunkLengths) {
        for (uint32_t n : cycleLengths) {
            engine.chunkFrames = chunk;
            int cycles = n >= 8192 ? 200 : 2000;
            EXPECT_EQ(run(n, cycles), 0u) << n << " frames per cycle, chunk " << chunk;
            ASSERT_EQ(data.framesPerCycle, n);
        }
    }
}

TEST_F(AudioPathAllocation, BypassBetweenRetriesAndAForeignRateAllocateNothing) {
    failCreation = true;
    processCycle(data, 256, ENGINE_SAMPLE_RATE, in.data(), out.data());
    ASSERT_FALSE(data.instance);
    // 999 cycles 1 ms apart stay within the retry interval.
    EXPECT_EQ(run(256, 999), 0u);

    failCreation = false;
    engine.nowNs += CREATION_RETRY_INTERVAL_NS;
    processCycle(data, 256, ENGINE_SAMPLE_RATE, in.data(), out.data());
    ASSERT_TRUE(data.instance);
    processCycle(data, 256, 44100, in.data(), out.data());  // logs the change once
    EXPECT_EQ(run(256, 2000, 44100), 0u);
}

TEST_F(AudioPathAllocation, CyclesWithFullScaleInputAndNonFiniteEngineOutputAllocateNothing) {
    // The counting pass of the level kernels and the mend of the output run on every cycle.
    in.assign(MAX_CYCLE_FRAMES, 1.0f);
    in[5] = std::numeric_limits<float>::quiet_NaN();
    engine.gain = std::numeric_limits<float>::infinity();
    engine.chunkFrames = 48;
    EXPECT_EQ(run(256, 2000), 0u);
    WatchReading reading = data.watch.read();
    EXPECT_GT(reading.output.nonFinite, 0u);
    EXPECT_GT(reading.input.clipped, 0u);
    EXPECT_GT(reading.missedCycles, 0u);
    EXPECT_EQ(out[0], 0.0f);
}

}  // namespace
}  // namespace zephrane
