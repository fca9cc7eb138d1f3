#pragma once

#include <cstddef>
#include <cstring>
#include <vector>

namespace zephrane {

// A growable array of samples used as a FIFO on the audio thread: appended at the end,
// consumed from the front. Consuming only advances the front; the remaining samples are
// moved to the start of the storage when an append would not fit behind them, so within
// the reserved capacity no storage is ever obtained or given back. The appends and
// removals of a cycle are inline: they run several times per cycle.
class SampleFifo {
  public:
    size_t size() const { return end_ - begin_; }
    bool empty() const { return end_ == begin_; }
    size_t capacity() const { return storage_.size(); }
    float* data() { return storage_.data() + begin_; }
    const float* data() const { return storage_.data() + begin_; }

    // Room for at least `samples` samples in all; may allocate, so not on a plain cycle.
    void reserve(size_t samples);
    void clear() { begin_ = end_ = 0; }

    void append(const float* samples, size_t count) {
        if (count != 0) {
            std::memcpy(extend(count), samples, count * sizeof(float));
        }
    }
    // Appends `count` zero samples and returns where they start.
    float* appendZeros(size_t count) {
        float* at = extend(count);
        std::memset(at, 0, count * sizeof(float));
        return at;
    }
    // Appends `count` samples for the caller to write in full and returns where they start.
    float* appendForWriting(size_t count) { return extend(count); }
    // Removes the first `count` samples; at most size().
    void consume(size_t count) {
        begin_ += count < size() ? count : size();
        if (begin_ == end_) {
            begin_ = end_ = 0;
        }
    }

  private:
    float* extend(size_t count) {
        if (end_ + count > storage_.size()) {
            makeRoom(count);
        }
        float* at = storage_.data() + end_;
        end_ += count;
        return at;
    }
    // Moves the samples to the front, or grows the storage beyond its reservation.
    void makeRoom(size_t count);

    std::vector<float> storage_;
    size_t begin_ = 0;
    size_t end_ = 0;
};

}  // namespace zephrane
