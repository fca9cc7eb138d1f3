#pragma once

#include <getopt.h>

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "engine_version.h"
#include "instance_settings.h"
#include "link_spec.h"
#include "log_severity.h"
#include "short_option_string.h"

namespace zephrane {

inline constexpr const char* DEFAULT_STORAGE_DIRECTORY = "/usr/share/korvex/zephrane";
inline constexpr uint16_t DEFAULT_JSON_PORT = 5010;

// What start-up hands to the filter node, or the status to exit with.
struct StartupResult {
    std::optional<InstanceSettings> settings;  // empty: exit with exitStatus
    std::string clientName;
    LinkSettings links;
    int exitStatus = 0;
};

// What the environment and the command line asked for, gathered before it becomes the
// InstanceSettings (the storage directory is still text here).
struct StartupConfig {
    std::string stateName;
    std::string onairName;
    bool storageReadOnly = false;
    bool stateReadOnly = false;
    KeyValueList parameters;
    KeyValueList metadata;
    std::string storageDirectory = DEFAULT_STORAGE_DIRECTORY;
    uint16_t jsonPort = 0;
    uint32_t httpPort = 0;
    uint32_t httpsPort = 0;
    LogSeverity verbosity = LOG_INFO;
    std::string clientName;
    // LINK_INPUT and LINK_OUTPUT as given, read into ports by readLinkSettings.
    std::string linkInput;
    std::string linkOutput;
    // "ENV ..." lines, logged once the verbosity is final.
    std::vector<std::string> deferredLogLines;
};

// The host's long options; ends with an all-zero entry.
extern const option HOST_OPTIONS[];

// Reads STATE_DIR, PROC_PORT, HTTP_PORT, HTTPS_PORT, PROC_VERB, LINK_INPUT and LINK_OUTPUT
// into config. An unknown PROC_VERB value is logged at WARN at once.
void readEnvironment(StartupConfig& config);

enum class CommandLineOutcome { proceed, exitSuccess, exitFailure };

// Runs getopt_long over the command line, applying each option as it is met. -h and -V
// write to out and end the reading; option errors are written to err.
CommandLineOutcome readCommandLine(int argc, char** argv, StartupConfig& config, std::ostream& out,
                                   std::ostream& err);

// Splits "key=value" at the first '='; false when there is none.
bool splitKeyValue(const std::string& text, std::pair<std::string, std::string>& pair);

// Without any port the host would be unreachable, so the JSON port defaults to 5010.
void applyPortRule(StartupConfig& config);

// Throws std::runtime_error with a fixed message when the engine library's audio
// properties differ from what the filter node is built for.
void checkEngineProperties();

// The ports of LINK_INPUT and LINK_OUTPUT. Throws std::runtime_error naming the variable
// and quoting the first entry that is not a port.
LinkSettings readLinkSettings(const StartupConfig& config);

InstanceSettings makeInstanceSettings(const StartupConfig& config);

// Sets up logging, reads the environment and the command line, registers the engine
// log bridge, reads the configured links and checks the engine's fixed audio properties.
// For -h, -V, an option error, a malformed link entry or a failed check, returns no
// settings and the status to exit with.
StartupResult runStartup(int argc, char** argv);

}  // namespace zephrane
