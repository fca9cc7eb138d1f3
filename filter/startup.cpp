#include "startup.h"

#include <getopt.h>

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <stdexcept>

#include "console_logging.h"
#include "engine_log_bridge.h"
#include "environment_number.h"
#include "log.h"
#include "log_text.h"
#include "verbosity_text.h"
#include "zephrane_engine.h"

namespace zephrane {

const option HOST_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"jsonport", required_argument, nullptr, 'j'},
    {"store", required_argument, nullptr, 'D'},
    {"state", required_argument, nullptr, 'N'},
    {"onair", required_argument, nullptr, 'O'},
    {"param", required_argument, nullptr, 'a'},
    {"meta", required_argument, nullptr, 'm'},
    {"storero", no_argument, nullptr, 'R'},
    {"statero", no_argument, nullptr, 'r'},
    {"http", required_argument, nullptr, 'w'},
    {"https", required_argument, nullptr, 's'},
    {"name", required_argument, nullptr, 'C'},
    {"verbose", no_argument, nullptr, 'v'},
    {nullptr, 0, nullptr, 0},
};

namespace {

// "-v" .. "-vvvvvv": up to DEBUG.
constexpr int MAX_VERBOSITY_STEPS = 6;

void printLine(std::ostream& out, const std::string& line) {
    out << line << std::endl;
}

void printHelp(std::ostream& out, const char* program, const StartupConfig& config) {
    const char* procVerb = std::getenv("PROC_VERB");
    std::string json = std::to_string(config.jsonPort);
    printLine(out, std::string(VERSION_PREFIX) + engineVersion());
    printLine(out, std::string(program ? program : "") + " [-v] [-j json_port]");
    printLine(out,
              "  -C, --name=pw_name            PipeWire client name (current:" + config.clientName + ")");
    printLine(out, "  -v, --verbose                 Increase verbose level (default PROC_VERB=" +
                       std::string(procVerb ? procVerb : "") + ")");
    printLine(out, "  -j, --jsonport=port           Port for TCP JSON (default: PROC_PORT=" + json + ")");
    printLine(out, "  -D, --store=storepath         Storage path (default: STATE_DIR=" +
                       config.storageDirectory + ")");
    printLine(
        out,
        "  -N, --state=statename         Storage state filename, if sharing storepath between instances");
    printLine(
        out,
        "  -O, --onair=onairname         Storage onair filename, if sharing storepath between instances");
    printLine(out, "  -a, --param=key=value         Add parameter");
    printLine(out, "  -m, --meta=key=value          Add metadata");
    printLine(out, "  -R, --storero                 Storage is read-only");
    printLine(out, "  -r, --statero                 Storage state is read-only");
    printLine(out, "  -w, --http=http_port          Port to listen for HTTP (current:" +
                       std::to_string(config.httpPort) + ")");
    printLine(out, "  -s, --https=https_port        Port to listen for HTTPS (current:" +
                       std::to_string(config.httpsPort) + ")");
    printLine(out, "");
    printLine(out, "Information");
    printLine(out, "  -V, --version                 Show version");
    printLine(out, "  -h, --help                    This help");
    printLine(out, "");
    printLine(out, "To JSON: rlwrap telnet 0 " + json);
    printLine(out, "      {\"get\":null}                 gets full config");
    printLine(out, "      {\"change\":null}              gets only changes");
    printLine(out, "      {\"set\":{\"in\":{\"gain\":-30}}}  set the gain to -30 dB");
    printLine(out, "");
    printLine(out, "Web login:");
    printLine(out,
              "  You can define in ENV the variable SETUP_USER or ADMIN_USER, or login will be disabled.");
    printLine(out,
              "  You can define in ENV the variable SETUP_SECRET or ADMIN_SECRET, or one will be randomly "
              "generated and print in logs.");
    printLine(out, "Other environment variables:");
    printLine(out, "    + STATE_DIR            : the directory to save the state");
    printLine(out, "    + SSL_CERTIFICATE_PATH : path to the SSL public certificate");
    printLine(out, "    + SSL_PRIVATE_PATH     : path to the SSL private certificate");
}

// Formatted stream extraction: blanks skipped, trailing text ignored, 0 for text that is
// not a number, the type's maximum when out of range, the value untouched when empty.
template <typename Unsigned>
void extractNumber(const char* text, Unsigned& value) {
    std::istringstream stream(text ? text : "");
    stream >> value;
}

bool appendKeyValue(char letter, const char* text, KeyValueList& list, std::ostream& err) {
    std::pair<std::string, std::string> pair;
    if (!splitKeyValue(text ? text : "", pair)) {
        err << " option " << letter << " needs key=value format" << std::endl;
        return false;
    }
    list.push_back(std::move(pair));
    return true;
}

}  // namespace

bool splitKeyValue(const std::string& text, std::pair<std::string, std::string>& pair) {
    size_t equals = text.find('=');
    if (equals == std::string::npos) {
        return false;
    }
    pair = {text.substr(0, equals), text.substr(equals + 1)};
    return true;
}

void readEnvironment(StartupConfig& config) {
    if (const char* stateDir = std::getenv("STATE_DIR")) {
        config.storageDirectory = stateDir;
    }
    auto nonEmpty = [](const char* name) -> const char* {
        const char* value = std::getenv(name);
        return value != nullptr && *value != '\0' ? value : nullptr;
    };
    if (const char* value = nonEmpty("PROC_PORT")) {
        config.jsonPort = static_cast<uint16_t>(environmentNumber(value));
        config.deferredLogLines.push_back(std::string("ENV proc port ") + value);
    }
    if (const char* value = nonEmpty("HTTP_PORT")) {
        config.httpPort = static_cast<uint32_t>(environmentNumber(value));
        config.deferredLogLines.push_back(std::string("ENV http port ") + value);
    }
    if (const char* value = nonEmpty("HTTPS_PORT")) {
        config.httpsPort = static_cast<uint32_t>(environmentNumber(value));
        config.deferredLogLines.push_back(std::string("ENV https port ") + value);
    }
    if (const char* value = nonEmpty("PROC_VERB")) {
        std::optional<LogSeverity> verbosity = verbosityFromText(value, MAX_VERBOSITY_STEPS);
        if (verbosity) {
            config.verbosity = *verbosity;
        } else {
            config.verbosity = LOG_INFO;
            ZLOG(LOG_WARN) << "ENV PROC_VERB unknown " << value;
        }
        config.deferredLogLines.push_back(std::string("ENV PROC_VERB ") + value);
    }
    if (const char* value = nonEmpty("LINK_INPUT")) {
        config.linkInput = value;
        config.deferredLogLines.push_back("ENV link input " + engine::logText(value));
    }
    if (const char* value = nonEmpty("LINK_OUTPUT")) {
        config.linkOutput = value;
        config.deferredLogLines.push_back("ENV link output " + engine::logText(value));
    }
}

CommandLineOutcome readCommandLine(int argc, char** argv, StartupConfig& config, std::ostream& out,
                                   std::ostream& err) {
    const std::string letters = shortOptionString(HOST_OPTIONS);
    int letter;
    while ((letter = getopt_long(argc, argv, letters.c_str(), HOST_OPTIONS, nullptr)) != -1) {
        switch (letter) {
            case 'h':
                printHelp(out, argc > 0 ? argv[0] : nullptr, config);
                return CommandLineOutcome::exitSuccess;
            case 'V':
                printLine(out, std::string(VERSION_PREFIX) + engineVersion());
                return CommandLineOutcome::exitSuccess;
            case 'j':
                extractNumber(optarg, config.jsonPort);
                break;
            case 'D':
                config.storageDirectory = optarg;
                break;
            case 'N':
                config.stateName = optarg;
                break;
            case 'O':
                config.onairName = optarg;
                break;
            case 'a':
                if (!appendKeyValue('a', optarg, config.parameters, err)) {
                    return CommandLineOutcome::exitFailure;
                }
                break;
            case 'm':
                if (!appendKeyValue('m', optarg, config.metadata, err)) {
                    return CommandLineOutcome::exitFailure;
                }
                break;
            case 'R':
                config.storageReadOnly = true;
                break;
            case 'r':
                config.stateReadOnly = true;
                break;
            case 'w':
                extractNumber(optarg, config.httpPort);
                break;
            case 's':
                extractNumber(optarg, config.httpsPort);
                break;
            case 'C':
                config.clientName = optarg;
                break;
            case 'v':
                if (config.verbosity < LOG_DEBUG) {
                    ++config.verbosity;
                }
                break;
            default:
                // getopt_long has printed its diagnostic. An unknown long option leaves
                // optopt at 0; no NUL byte is written for it.
                err << " option ";
                if (optopt != 0) {
                    err << static_cast<char>(optopt);
                }
                err << " is unknown" << std::endl;
                return CommandLineOutcome::exitFailure;
        }
    }
    return CommandLineOutcome::proceed;
}

void applyPortRule(StartupConfig& config) {
    if (config.jsonPort == 0 && config.httpPort == 0 && config.httpsPort == 0) {
        config.jsonPort = DEFAULT_JSON_PORT;
    }
}

void checkEngineProperties() {
    if (zephrane_GetSampleRate() != 48000) {
        throw std::runtime_error("Bad library sampling rate");
    }
    if (zephrane_GetChunkSizeInFrames() != 12) {
        throw std::runtime_error("Bad library frame size");
    }
    if (zephrane_GetChannelCount() != 1) {
        throw std::runtime_error("Bad library channel count");
    }
    if (zephrane_GetAudioInputCount() != 1) {
        throw std::runtime_error("Bad library input count");
    }
    if (zephrane_GetAudioOutputCount() != 1) {
        throw std::runtime_error("Bad library output count");
    }
}

LinkSettings readLinkSettings(const StartupConfig& config) {
    LinkSettings links;
    auto read = [](const char* variable, const std::string& text, std::vector<std::string>& ports) {
        PortListParse parsed = parsePortList(text);
        if (parsed.badEntry) {
            throw std::runtime_error(std::string(variable) + " entry \"" + engine::logText(*parsed.badEntry) +
                                     "\" is not a port (node:port or node)");
        }
        ports = std::move(parsed.entries);
    };
    read("LINK_INPUT", config.linkInput, links.inputSources);
    read("LINK_OUTPUT", config.linkOutput, links.outputTargets);
    return links;
}

InstanceSettings makeInstanceSettings(const StartupConfig& config) {
    InstanceSettings settings;
    settings.stateName = config.stateName;
    settings.onairName = config.onairName;
    settings.storageReadOnly = config.storageReadOnly;
    settings.stateReadOnly = config.stateReadOnly;
    settings.parameters = config.parameters;
    settings.metadata = config.metadata;
    settings.storagePath = std::filesystem::path(config.storageDirectory);
    settings.jsonPort = config.jsonPort;
    settings.httpPort = config.httpPort;
    settings.httpsPort = config.httpsPort;
    return settings;
}

StartupResult runStartup(int argc, char** argv) {
    StartupResult result;

    Logger& logger = installConsoleLogging();

    StartupConfig config;
    readEnvironment(config);
    switch (readCommandLine(argc, argv, config, std::cout, std::cerr)) {
        case CommandLineOutcome::exitSuccess:
            result.exitStatus = 0;
            return result;
        case CommandLineOutcome::exitFailure:
            result.exitStatus = 1;
            return result;
        case CommandLineOutcome::proceed:
            break;
    }

    logger.threshold = config.verbosity;
    registerEngineLogBridge(config.verbosity);
    applyPortRule(config);

    ZLOG(LOG_INFO) << VERSION_PREFIX << engineVersion();
    for (const std::string& line : config.deferredLogLines) {
        ZLOG(LOG_VERB2) << line;
    }

    try {
        result.links = readLinkSettings(config);
        checkEngineProperties();
    } catch (const std::runtime_error& error) {
        ZLOG(LOG_ERROR) << error.what();
        result.exitStatus = 1;
        return result;
    }

    result.settings = makeInstanceSettings(config);
    result.clientName = config.clientName;
    return result;
}

}  // namespace zephrane
