#pragma once

#include <array>
#include <atomic>
#include <cstdint>

#include "signal_levels.h"

namespace zephrane {

// Why the node passes its input through instead of processing it.
enum class BypassReason : uint8_t { none, noInstance, creationFailing, graphRate };
const char* bypassReasonName(BypassReason reason);

// Upper bounds of the callback-time buckets, as a share of the cycle's budget.
inline constexpr std::array<double, 6> CALLBACK_BUDGET_BOUNDS = {0.1, 0.25, 0.5, 0.8, 1.0, 2.0};
// A callback above this share of its budget counts as busy.
inline constexpr double BUSY_BUDGET_SHARE = 0.8;

// What one direction of the node has carried since start, plus its peak since the last read.
struct PortReading {
    uint64_t frames = 0;
    double sumSquares = 0;
    uint64_t clipped = 0;
    uint64_t nonFinite = 0;
    float peak = 0;  // since the previous read
};

// Everything the watch has counted since start, as the main loop reads it.
struct WatchReading {
    PortReading input;
    PortReading output;
    uint64_t cycles = 0;
    uint64_t busyCycles = 0;
    uint64_t missedCycles = 0;
    uint64_t positionJumps = 0;  // jumps of the graph position: one per stall, however long
    // Callbacks per bucket of CALLBACK_BUDGET_BOUNDS, the last one above them all.
    std::array<uint64_t, CALLBACK_BUDGET_BOUNDS.size() + 1> budgetBuckets{};
    double budgetShareSum = 0;
    double busyNanoseconds = 0;
    double budgetNanoseconds = 0;
    uint64_t creationsOk = 0;
    uint64_t creationsFailed = 0;
    BypassReason bypass = BypassReason::none;
    uint32_t quantum = 0;
    uint32_t chunk = 0;
    // When the current callback began (monotonic ns); 0 outside a callback.
    int64_t callbackStartNs = 0;
};

// The audio path's view of its own audio, written by the data thread and read by the main
// loop. The data thread is the only writer of every total (plain relaxed load and store);
// the main loop only reads them, except the peaks, which it takes and resets. Nothing here
// locks, allocates or calls the system.
class AudioWatch {
  public:
    // Benchmarks switch the level measurement off to see its cost; the host never does.
    bool measureLevels = true;

    // Data thread.
    void recordInput(const BlockLevels& levels, uint32_t frames) noexcept { record(input_, levels, frames); }
    void recordOutput(const BlockLevels& levels, uint32_t frames) noexcept {
        record(output_, levels, frames);
    }
    void enterCallback(int64_t nowNs) noexcept;
    // The graph position (in frames) of this cycle; a jump larger than the previous cycle
    // means the node missed cycles. A jump of half a second or more is a graph that paused
    // (a driver suspended and resumed, the node linked anew), not missed cycles.
    void notePosition(uint64_t position, uint32_t frames, uint32_t rate) noexcept;
    void leaveCallback(int64_t nowNs, uint32_t frames, uint32_t rate) noexcept;
    void setBypass(BypassReason reason) noexcept { bypass_.store(reason, std::memory_order_relaxed); }
    void setQuantum(uint32_t frames) noexcept { quantum_.store(frames, std::memory_order_relaxed); }
    void setChunk(uint32_t frames) noexcept { chunk_.store(frames, std::memory_order_relaxed); }
    void countCreation(bool ok) noexcept { add(ok ? creationsOk_ : creationsFailed_, uint64_t{1}); }

    // Main loop (or any other reader; the peaks then belong to whoever reads first).
    WatchReading read() noexcept;
    int64_t callbackStartNs() const noexcept { return callbackStartNs_.load(std::memory_order_relaxed); }

  private:
    struct PortTotals {
        std::atomic<uint64_t> frames{0};
        std::atomic<double> sumSquares{0};
        std::atomic<uint64_t> clipped{0};
        std::atomic<uint64_t> nonFinite{0};
        std::atomic<float> peak{0};
    };

    template <typename T>
    static void add(std::atomic<T>& total, T amount) noexcept {
        total.store(total.load(std::memory_order_relaxed) + amount, std::memory_order_relaxed);
    }
    static void record(PortTotals& port, const BlockLevels& levels, uint32_t frames) noexcept;
    static PortReading readPort(PortTotals& port) noexcept;

    PortTotals input_;
    PortTotals output_;
    std::atomic<uint64_t> cycles_{0};
    std::atomic<uint64_t> busyCycles_{0};
    std::atomic<uint64_t> missedCycles_{0};
    std::atomic<uint64_t> positionJumps_{0};
    std::array<std::atomic<uint64_t>, CALLBACK_BUDGET_BOUNDS.size() + 1> budgetBuckets_{};
    std::atomic<double> budgetShareSum_{0};
    std::atomic<double> busyNanoseconds_{0};
    std::atomic<double> budgetNanoseconds_{0};
    std::atomic<uint64_t> creationsOk_{0};
    std::atomic<uint64_t> creationsFailed_{0};
    std::atomic<BypassReason> bypass_{BypassReason::none};
    std::atomic<uint32_t> quantum_{0};
    std::atomic<uint32_t> chunk_{0};
    std::atomic<int64_t> callbackStartNs_{0};
    // Data thread only.
    uint64_t lastPosition_ = 0;
    uint32_t lastFrames_ = 0;
};

}  // namespace zephrane
