#include "sample_fifo.h"

#include <algorithm>

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

void SampleFifo::makeRoom(size_t count) {
    size_t held = size();
    if (held + count > storage_.size()) {
        // Beyond the reservation: grow geometrically like a vector.
        reserve(std::max(held + count, storage_.size() * 2));
        return;
    }
    if (held != 0) {
        std::memmove(storage_.data(), data(), held * sizeof(float));
    }
    begin_ = 0;
    end_ = held;
}

}  // namespace zephrane
