#pragma once

// Wait-free hand-over of the latest value from one writer thread to one reader thread.
// Neither side ever waits for the other: the writer always has a slot of its own, the
// reader always gets the newest complete value. Used in both directions between the
// audio thread and the control side.
#include <atomic>
#include <type_traits>

namespace zephrane::engine {

template <typename T>
class TripleBuffer {
    static_assert(std::is_trivially_copyable_v<T>);
    static_assert(std::atomic<unsigned>::is_always_lock_free);

  public:
    explicit TripleBuffer(const T& initial = T{}) : slots_{initial, initial, initial} {}

    // Writer side.
    void write(const T& value) {
        slots_[writeIndex_] = value;
        writeIndex_ = middle_.exchange(writeIndex_ | kFresh, std::memory_order_acq_rel) & kIndexMask;
    }

    // Reader side: true and the newest value when something was written since the last read.
    bool read(T& value) {
        if ((middle_.load(std::memory_order_relaxed) & kFresh) == 0) {
            return false;
        }
        readIndex_ = middle_.exchange(readIndex_, std::memory_order_acq_rel) & kIndexMask;
        value = slots_[readIndex_];
        return true;
    }

  private:
    static constexpr unsigned kFresh = 4;
    static constexpr unsigned kIndexMask = 3;

    T slots_[3];
    unsigned writeIndex_ = 0;
    alignas(64) std::atomic<unsigned> middle_{1};
    alignas(64) unsigned readIndex_ = 2;
};

}  // namespace zephrane::engine
