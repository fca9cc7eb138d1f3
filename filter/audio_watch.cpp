#include "audio_watch.h"

namespace zephrane {

static_assert(std::atomic<uint64_t>::is_always_lock_free && std::atomic<double>::is_always_lock_free &&
                  std::atomic<float>::is_always_lock_free && std::atomic<int64_t>::is_always_lock_free,
              "the audio thread must never wait for a lock inside an atomic");

const char* bypassReasonName(BypassReason reason) {
    switch (reason) {
        case BypassReason::none:
            return "none";
        case BypassReason::noInstance:
            return "no_instance";
        case BypassReason::creationFailing:
            return "creation_failing";
        case BypassReason::graphRate:
            return "graph_rate";
    }
    return "unknown";
}

void AudioWatch::record(PortTotals& port, const BlockLevels& levels, uint32_t frames) noexcept {
    add(port.frames, uint64_t{frames});
    add(port.sumSquares, double{levels.sumSquares});
    if (levels.clipped != 0) {
        add(port.clipped, uint64_t{levels.clipped});
    }
    if (levels.nonFinite != 0) {
        add(port.nonFinite, uint64_t{levels.nonFinite});
    }
    // The reader resets the peak, so raising it must not overwrite a reset with an old value.
    float held = port.peak.load(std::memory_order_relaxed);
    while (levels.peak > held &&
           !port.peak.compare_exchange_weak(held, levels.peak, std::memory_order_relaxed)) {
    }
}

void AudioWatch::enterCallback(int64_t nowNs) noexcept {
    // 0 means "outside a callback"; a clock reading 0 is taken as 1 ns later.
    callbackStartNs_.store(nowNs != 0 ? nowNs : 1, std::memory_order_relaxed);
}

void AudioWatch::notePosition(uint64_t position, uint32_t frames, uint32_t rate) noexcept {
    const uint64_t pause = (rate != 0 ? rate : 48000) / 2;
    if (lastFrames_ != 0 && position > lastPosition_ && position - lastPosition_ > lastFrames_ &&
        position - lastPosition_ < pause) {
        const uint64_t missed = (position - lastPosition_) / lastFrames_ - 1;
        if (missed != 0) {
            add(missedCycles_, missed);
            add(positionJumps_, uint64_t{1});
        }
    }
    lastPosition_ = position;
    lastFrames_ = frames;
}

void AudioWatch::leaveCallback(int64_t nowNs, uint32_t frames, uint32_t rate) noexcept {
    const int64_t start = callbackStartNs_.load(std::memory_order_relaxed);
    callbackStartNs_.store(0, std::memory_order_relaxed);
    add(cycles_, uint64_t{1});
    if (frames == 0 || start == 0) {
        return;
    }
    const double budgetNs = static_cast<double>(frames) * 1e9 / (rate != 0 ? rate : 48000);
    const double spentNs = nowNs > start ? static_cast<double>(nowNs - start) : 0.0;
    const double share = spentNs / budgetNs;
    size_t bucket = 0;
    while (bucket < CALLBACK_BUDGET_BOUNDS.size() && share > CALLBACK_BUDGET_BOUNDS[bucket]) {
        ++bucket;
    }
    add(budgetBuckets_[bucket], uint64_t{1});
    add(budgetShareSum_, share);
    add(busyNanoseconds_, spentNs);
    add(budgetNanoseconds_, budgetNs);
    if (share > BUSY_BUDGET_SHARE) {
        add(busyCycles_, uint64_t{1});
    }
}

PortReading AudioWatch::readPort(PortTotals& port) noexcept {
    PortReading reading;
    reading.frames = port.frames.load(std::memory_order_relaxed);
    reading.sumSquares = port.sumSquares.load(std::memory_order_relaxed);
    reading.clipped = port.clipped.load(std::memory_order_relaxed);
    reading.nonFinite = port.nonFinite.load(std::memory_order_relaxed);
    reading.peak = port.peak.exchange(0.0f, std::memory_order_relaxed);
    return reading;
}

WatchReading AudioWatch::read() noexcept {
    WatchReading reading;
    reading.input = readPort(input_);
    reading.output = readPort(output_);
    reading.cycles = cycles_.load(std::memory_order_relaxed);
    reading.busyCycles = busyCycles_.load(std::memory_order_relaxed);
    reading.missedCycles = missedCycles_.load(std::memory_order_relaxed);
    reading.positionJumps = positionJumps_.load(std::memory_order_relaxed);
    for (size_t i = 0; i < budgetBuckets_.size(); ++i) {
        reading.budgetBuckets[i] = budgetBuckets_[i].load(std::memory_order_relaxed);
    }
    reading.budgetShareSum = budgetShareSum_.load(std::memory_order_relaxed);
    reading.busyNanoseconds = busyNanoseconds_.load(std::memory_order_relaxed);
    reading.budgetNanoseconds = budgetNanoseconds_.load(std::memory_order_relaxed);
    reading.creationsOk = creationsOk_.load(std::memory_order_relaxed);
    reading.creationsFailed = creationsFailed_.load(std::memory_order_relaxed);
    reading.bypass = bypass_.load(std::memory_order_relaxed);
    reading.quantum = quantum_.load(std::memory_order_relaxed);
    reading.chunk = chunk_.load(std::memory_order_relaxed);
    reading.callbackStartNs = callbackStartNs_.load(std::memory_order_relaxed);
    return reading;
}

}  // namespace zephrane
