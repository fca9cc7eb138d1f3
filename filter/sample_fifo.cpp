#include "sample_fifo.h"

#include <algorithm>
#include <cstring>

namespace zephrane {

void SampleFifo::reserve(size_t samples) {
    if (samples <= storage_.size()) {
        return;
    }
    std::vector<float> larger(samples);
    if (!empty()) {
        std::memcpy(larger.data(), data(), size() * sizeof(float));
    }
    end_ = size();
    begin_ = 0;
    storage_.swap(larger);
}

float* SampleFifo::extend(size_t count) {
    if (end_ + count > storage_.size()) {
        size_t held = size();
        if (held + count > storage_.size()) {
            // Beyond the reservation: grow geometrically like a vector.
            reserve(std::max(held + count, storage_.size() * 2));
        } else {
            std::memmove(storage_.data(), data(), held * sizeof(float));
            begin_ = 0;
            end_ = held;
        }
    }
    float* at = storage_.data() + end_;
    end_ += count;
    return at;
}

void SampleFifo::append(const float* samples, size_t count) {
    if (count != 0) {
        std::memcpy(extend(count), samples, count * sizeof(float));
    }
}

float* SampleFifo::appendZeros(size_t count) {
    float* at = extend(count);
    std::fill_n(at, count, 0.0f);
    return at;
}

void SampleFifo::consume(size_t count) {
    begin_ += std::min(count, size());
    if (begin_ == end_) {
        begin_ = end_ = 0;
    }
}

}  // namespace zephrane
