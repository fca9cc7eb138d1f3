#pragma once

// One engine process as the control side sees it: its session (live settings), its
// audio chain, its metadata and fixed facts. Shared by the update loop's clients and,
// later, a web server, which find it through findProcessByPort.
#include <cstdint>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>

#include "audio_chain.h"
#include "session.h"

namespace zephrane::engine {

inline constexpr const char* kEngineVersion = "1.0.0";
inline constexpr int kSampleRate = 48000;

class ProcessCore {
  public:
    ProcessCore(std::shared_ptr<Session> session, uint32_t framesPerChunk);
    ~ProcessCore();
    ProcessCore(const ProcessCore&) = delete;
    ProcessCore& operator=(const ProcessCore&) = delete;

    uint32_t framesPerChunk() const { return framesPerChunk_; }
    AudioChain& chain() { return chain_; }
    Session& session() { return *session_; }

    void setMetadata(const std::string& key, const std::string& value);

    // Read-only parts of the settings tree.
    nlohmann::json metadata() const;
    nlohmann::json info() const;
    nlohmann::json meters();
    // Everything: in, out, limiter, meter, meta, info, preset.
    nlohmann::json tree();

  private:
    std::shared_ptr<Session> session_;
    const uint32_t framesPerChunk_;
    AudioChain chain_;
    mutable std::mutex metaMutex_;
    nlohmann::json metadata_ = nlohmann::json::object();
};

// The live process whose update loop serves this JSON port, newest first; null if none.
std::shared_ptr<ProcessCore> findProcessByPort(uint32_t port);
void registerProcessPort(uint32_t port, const std::shared_ptr<ProcessCore>& core);
void unregisterProcessPort(uint32_t port, const ProcessCore* core);

}  // namespace zephrane::engine
