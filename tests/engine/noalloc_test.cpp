// The audio path never allocates: every allocation function is counted while the
// audio thread processes, with settings changing and meters read on other threads.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <nlohmann/json.hpp>
#include <thread>

#include "control_protocol.h"
#include "process_core.h"
#include "test_support.h"
#include "zephrane_engine.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define ENGINE_TEST_SANITIZED 1
#endif

namespace {
thread_local bool counting = false;
std::atomic<long> allocations{0};

void noteAllocation() {
    if (counting) {
        allocations.fetch_add(1, std::memory_order_relaxed);
    }
}
}  // namespace

void* operator new(std::size_t size) {
    noteAllocation();
    void* memory = std::malloc(size == 0 ? 1 : size);
    if (memory == nullptr) {
        throw std::bad_alloc();
    }
    return memory;
}
void* operator new[](std::size_t size) {
    return operator new(size);
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    noteAllocation();
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
    noteAllocation();
    return std::malloc(size == 0 ? 1 : size);
}
void operator delete(void* memory) noexcept {
    std::free(memory);
}
void operator delete[](void* memory) noexcept {
    std::free(memory);
}
void operator delete(void* memory, std::size_t) noexcept {
    std::free(memory);
}
void operator delete[](void* memory, std::size_t) noexcept {
    std::free(memory);
}

#ifndef ENGINE_TEST_SANITIZED
// The C allocator too, for anything below the C++ layer.
extern "C" void* __libc_malloc(std::size_t);
extern "C" void* __libc_calloc(std::size_t, std::size_t);
extern "C" void* __libc_realloc(void*, std::size_t);
extern "C" void* malloc(std::size_t size) {
    noteAllocation();
    return __libc_malloc(size);
}
extern "C" void* calloc(std::size_t count, std::size_t size) {
    noteAllocation();
    return __libc_calloc(count, size);
}
extern "C" void* realloc(void* memory, std::size_t size) {
    noteAllocation();
    return __libc_realloc(memory, size);
}
#endif

namespace {

TEST(AudioPath, NeverAllocates) {
    // The counter itself must work, or the test proves nothing.
    // Called through volatile pointers so the compiler cannot elide the pairs.
    void* (*volatile cMalloc)(std::size_t) = std::malloc;
    void* (*volatile cppNew)(std::size_t) = ::operator new;
    counting = true;
    void* fromC = cMalloc(16);
    void* fromCpp = cppNew(16);
    counting = false;
    std::free(fromC);
    ::operator delete(fromCpp);
#ifndef ENGINE_TEST_SANITIZED
    EXPECT_GE(allocations.load(), 2);
#else
    EXPECT_GE(allocations.load(), 1);
#endif
    allocations = 0;

    enginetest::ScratchDir dir;
    for (uint32_t frames : {12u, 128u, 1024u}) {
        ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, frames);
        ASSERT_NE(process, nullptr);
        int port = enginetest::freePort();
        std::thread loop([&] { zephrane_StartUpdateThread(process, port); });
        ASSERT_EQ(zephrane_WaitUpdateThreadReady(process, 5000), 0);

        std::atomic<bool> done{false};
        std::thread control([&] {
            enginetest::LineClient client(port);
            for (int i = 0; !done; ++i) {
                client.request("{\"set\":{\"in\":{\"gain\":" + std::to_string(-(i % 40)) + "}}}");
                client.request(R"({"change":null})");
            }
        });

        std::vector<float> in(frames), out(frames);
        for (uint32_t i = 0; i < frames; ++i) {
            in[i] = (i % 7 == 0) ? std::numeric_limits<float>::quiet_NaN() : 1.5f;
        }
        const float* inputs[] = {in.data()};
        float* outputs[] = {out.data()};
        counting = true;
        for (int call = 0; call < 20000; ++call) {
            zephrane_ProcessAudio_Planar(process, inputs, outputs);
        }
        counting = false;
        done = true;
        control.join();
        zephrane_StopUpdateThread(process);
        loop.join();
        zephrane_ExitProcess(process);
        EXPECT_EQ(allocations.load(), 0) << frames << " frames";
    }
}

}  // namespace
