#pragma once

// The files of one host in the storage directory: its state file (settings of the last
// run), its on-air file (which preset is on air, since when) and the shared presets in
// "presets/<name>.json". Read-only modes are enforced here: with storage read-only
// nothing is written at all, with state read-only the state file is never written.
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephrane::engine {

inline constexpr size_t kMaxPresets = 256;
inline constexpr size_t kMaxPresetNameLength = 64;

// Empty when name may be given to a new preset: 1 to 64 letters, digits, spaces, "_", "."
// and "-", not starting with "." (such files are not listed). Else the reason. Presets
// stored under other names stay loadable and deletable.
std::string checkNewPresetName(std::string_view name);

struct StoreOptions {
    std::string dir;
    std::string stateName = "state.json";
    std::string onairName = "onair.json";
    bool storageReadOnly = false;
    bool stateReadOnly = false;
};

class StateStore {
  public:
    explicit StateStore(StoreOptions options);

    // Creates the storage directory when missing and writable (WARN on failure: the
    // engine then runs without saving). Call once before anything else.
    void prepare();

    const StoreOptions& options() const { return options_; }
    bool canWriteState() const;
    bool canWritePresets() const;

    // The stored settings, defaults when there are none. A file that cannot be read as
    // settings is moved aside first (ERROR); bad single values are dropped (WARN).
    nlohmann::json loadState();
    // Empty on success (or when state writes are off), else the reason.
    std::string saveState(const nlohmann::json& settings);

    std::string savePreset(const std::string& name, const nlohmann::json& settings);
    // The preset's settings, or nullopt with error set.
    std::optional<nlohmann::json> loadPreset(const std::string& name, std::string& error);
    std::string deletePreset(const std::string& name);
    std::vector<std::string> listPresets() const;

    // {"preset": name, "since": time} or null when nothing is recorded.
    nlohmann::json loadOnair();
    std::string saveOnair(const nlohmann::json& onair);

  private:
    std::string presetDir() const;

    StoreOptions options_;
    bool writable_ = false;  // the directory exists and storage is not read-only
};

}  // namespace zephrane::engine
