#pragma once

// The live settings of one host: one per storage directory and state file name within
// this library. When the host replaces a process (new chunk size), the new process joins
// the session of the old one, so it starts from the settings in force a moment ago, not
// from the file, and both processes see every change until the old one is released.
//
// The session saves the state file at most about once a second (saveIfDue, called by
// the update loops) and when asked to flush (process exit). Never touched by the audio
// thread: changes reach the attached audio chains through their triple buffers.
#include <chrono>
#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

#include "audio_chain.h"
#include "state_store.h"

namespace zephrane::engine {

class Session {
  public:
    using StartValues = std::vector<std::pair<std::string, nlohmann::json>>;

    // Joins the live session for the same directory and state name, or starts one from
    // the stored state with startValues (checked settings, dotted path first) on top.
    // joined tells which happened; start values are not applied to a joined session.
    static std::shared_ptr<Session> open(const StoreOptions& options, const StartValues& startValues,
                                         bool& joined);

    explicit Session(const StoreOptions& options);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    nlohmann::json settings() const;
    // {"onair": name or null, "since": time or null}
    nlohmann::json onair() const;
    const StoreOptions& options() const { return store_.options(); }

    // Applies a patch; empty on success (inForce gets the touched values as they are
    // now, before, when given, as they were), else the reason and nothing changed.
    std::string set(const nlohmann::json& patch, nlohmann::json& inForce, nlohmann::json* before = nullptr);

    std::string savePreset(const std::string& name);
    // Puts the preset's settings in force and records it as on air.
    std::string loadPreset(const std::string& name);
    std::string deletePreset(const std::string& name);
    std::vector<std::string> listPresets() const;

    void attach(AudioChain* chain);
    void detach(AudioChain* chain);

    void saveIfDue(std::chrono::steady_clock::time_point now);
    // Saves now if anything changed since the last save.
    void flush();

  private:
    void changed();  // with mutex_ held
    void save();

    mutable std::mutex mutex_;
    std::mutex saveMutex_;  // orders file writes, so an older state never lands last
    StateStore store_;
    nlohmann::json settings_;
    nlohmann::json onair_;
    std::vector<AudioChain*> chains_;
    uint64_t version_ = 0;
    uint64_t savedVersion_ = 0;
    std::chrono::steady_clock::time_point lastSave_{};
    bool lastSaveFailed_ = false;
};

}  // namespace zephrane::engine
