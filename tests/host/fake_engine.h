#pragma once

// An engine for driving the audio path directly: chunk length, gain and clock chosen by
// the test, every input sample it is fed kept in order. Instances carry a made-up process
// handle and never reach the engine library.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "audio_path.h"

namespace zephrane::testing {

struct FakeEngine {
    uint32_t chunkFrames = 12;
    float gain = 2.0f;
    int64_t nowNs = 0;
    std::vector<float> fed;  // reserved by the test where allocation matters
    size_t calls = 0;
    bool keepInput = true;

    static FakeEngine* current;

    static uint32_t getProcessChunkFrames(ZephraneProcessHandle) { return current->chunkFrames; }
    static int processAudioPlanar(ZephraneProcessHandle, const float* const* inputs, float* const* outputs) {
        FakeEngine& e = *current;
        ++e.calls;
        for (uint32_t i = 0; i < e.chunkFrames; ++i) {
            if (e.keepInput) {
                e.fed.push_back(inputs[0][i]);
            }
            outputs[0][i] = inputs[0][i] * e.gain;
        }
        return 0;
    }
    static int64_t monotonicNanoseconds() { return current->nowNs; }

    AudioEngineOps ops() {
        current = this;
        AudioEngineOps o;
        o.getProcessChunkFrames = getProcessChunkFrames;
        o.processAudioPlanar = processAudioPlanar;
        o.monotonicNanoseconds = monotonicNanoseconds;
        return o;
    }
};

// An instance with a made-up engine process that reports its own release.
class FakeInstance : public ProcessingInstance {
  public:
    FakeInstance(int id, std::vector<std::string>* events) : id_(id), events_(events) {
        process = reinterpret_cast<ZephraneProcessHandle>(static_cast<uintptr_t>(0x1000 + id));
        if (events_ != nullptr) {
            events_->push_back("create " + std::to_string(id_));
        }
    }
    ~FakeInstance() override {
        if (events_ != nullptr) {
            events_->push_back("release " + std::to_string(id_));
        }
        process = nullptr;  // nothing for the engine library to stop
    }

  private:
    int id_;
    std::vector<std::string>* events_;
};

}  // namespace zephrane::testing
