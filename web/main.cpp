// zephrane-web: serves the engine library's web interface for a processing instance that
// runs in another program, reached over TCP, until SIGINT or SIGTERM.
#include <getopt.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <iostream>
#include <sstream>
#include <string>

#include "console_logging.h"
#include "engine_log_bridge.h"
#include "engine_version.h"
#include "environment_number.h"
#include "log.h"
#include "short_option_string.h"
#include "stop_signals.h"
#include "verbosity_text.h"
#include "zephrane_engine.h"

namespace {

// Set by the signal handler, polled once per second by main. One lock-free byte, so
// writing it is async-signal-safe.
std::atomic<unsigned char> stopRequested{0};
static_assert(std::atomic<unsigned char>::is_always_lock_free);

extern "C" void onStopSignal(int) {
    // A second SIGINT or SIGTERM, for instance while the server stops, ends the process.
    zephrane::restoreDefaultStopSignals();
    stopRequested.store(1);
}

const option WEB_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
    {"ip", required_argument, nullptr, 'i'},   {"port", required_argument, nullptr, 'p'},
    {"http", required_argument, nullptr, 'w'}, {"https", required_argument, nullptr, 's'},
    {"verbose", no_argument, nullptr, 'v'},    {nullptr, 0, nullptr, 0},
};

// "-v" .. "-vvvvv": this program goes up to VERB5.
constexpr int MAX_VERBOSITY_STEPS = 5;

// A negative number wraps modulo 2^32.
uint32_t portFromEnvironment(const char* text) {
    return static_cast<uint32_t>(static_cast<int32_t>(zephrane::environmentNumber(text)));
}

// Formatted extraction: blanks skipped, a sign allowed, the rest ignored; 0 for text that
// is not a number, 4294967295 above that; an empty or blank argument leaves the value.
template <typename T>
void extract(const char* text, T& value) {
    std::istringstream stream(text != nullptr ? text : "");
    stream >> value;
}

void printLine(const std::string& line) {
    std::cout << line << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGINT, onStopSignal);

    // The engine's web server reports what a person needs to reach it through the log: the
    // generated login secret, the certificate fingerprint, ports it could not bind.
    zephrane::Logger& logger = zephrane::installConsoleLogging();
    zephrane::LogSeverity verbosity = zephrane::LOG_INFO;

    uint32_t httpPort = 8080;
    uint32_t httpsPort = 8443;
    uint32_t processPort = 5010;
    if (const char* value = std::getenv("HTTP_PORT")) {
        httpPort = portFromEnvironment(value);
    }
    if (const char* value = std::getenv("HTTPS_PORT")) {
        httpsPort = portFromEnvironment(value);
    }
    if (const char* value = std::getenv("PROC_PORT")) {
        processPort = portFromEnvironment(value);
    }
    const char* addressValue = std::getenv("PROC_IP");
    std::string processAddress = addressValue != nullptr ? addressValue : "process";

    const char* procVerb = std::getenv("PROC_VERB");
    if (procVerb != nullptr && *procVerb != '\0') {
        if (auto known = zephrane::verbosityFromText(procVerb, MAX_VERBOSITY_STEPS)) {
            verbosity = *known;
        } else {
            ZLOG(zephrane::LOG_WARN) << "ENV PROC_VERB unknown " << procVerb;
        }
    }

    const std::string letters = zephrane::shortOptionString(WEB_OPTIONS);
    int letter;
    while ((letter = getopt_long_only(argc, argv, letters.c_str(), WEB_OPTIONS, nullptr)) != -1) {
        switch (letter) {
            case 'V':
                printLine(std::string(zephrane::VERSION_PREFIX) + zephrane::engineVersion());
                std::exit(0);
            case 'h':
                printLine(std::string(zephrane::VERSION_PREFIX) + zephrane::engineVersion());
                printLine(std::string(argv[0]) +
                          " [-v] [-i process_ip] [-p process_port] [-w http_port] [-s https_port]");
                printLine("  -i, --ip=process_ip        IP adress of the process to connect to (current:" +
                          processAddress + ")");
                printLine("  -p, --port=process_port    Port of the process to connect to (current:" +
                          std::to_string(processPort) + ")");
                printLine("  -w, --http=http_port       Port to listen for HTTP (current:" +
                          std::to_string(httpPort) + ")");
                printLine("  -s, --https=https_port     Port to listen for HTTPS (current:" +
                          std::to_string(httpsPort) + ")");
                printLine("  -v, --verbose              Increase verbose level (default PROC_VERB=" +
                          std::string(procVerb != nullptr ? procVerb : "") + ")");
                printLine("  -V, --version              Show version");
                printLine("  -h, --help                 This help");
                printLine("");
                printLine(
                    "You can use env vars PROC_IP, PROC_PORT, HTTP_PORT, HTTPS_PORT to set those parameters");
                std::exit(0);
            case 'i':
                extract(optarg, processAddress);
                break;
            case 'p':
                extract(optarg, processPort);
                break;
            case 'w':
                extract(optarg, httpPort);
                break;
            case 's':
                extract(optarg, httpsPort);
                break;
            case 'v':
                if (verbosity < zephrane::LOG_DEBUG) {
                    ++verbosity;
                }
                break;
            default:
                // Unknown options and missing arguments: getopt_long_only has said so.
                break;
        }
    }
    logger.threshold = verbosity;
    zephrane::registerEngineLogBridge(verbosity);

    ZephraneParametersHandle parameters = zephrane_NewParameters();
    ZephraneWebserverHandle webserver =
        zephrane_Webserver_tcp2(httpPort, httpsPort, processAddress.c_str(), processPort, parameters);
    zephrane_FreeParameters(parameters);
    int status = zephrane_Webserver_Status(webserver);

    if (httpPort != 0) {
        if (status & ZEPHRANE_WEBSERVER_HTTP_LISTENING) {
            ZLOG(zephrane::LOG_VERB3) << "Web server listening on port " << httpPort;
        } else {
            ZLOG(zephrane::LOG_ERROR) << "Web server failed to listen on port " << httpPort;
        }
    }
    if (httpsPort != 0) {
        if (status & ZEPHRANE_WEBSERVER_HTTPS_LISTENING) {
            ZLOG(zephrane::LOG_VERB3) << "Web server listening on port " << httpsPort;
        } else {
            ZLOG(zephrane::LOG_ERROR) << "Web server failed to listen on port " << httpsPort;
        }
    }

    while (stopRequested.load() == 0) {
        // The same timespec as request and remainder: a signal resumes the rest of the
        // second, so a stop is acted on when the second ends.
        timespec delay{1, 0};
        while (nanosleep(&delay, &delay) == -1 && errno == EINTR) {
        }
    }

    return zephrane_Webserver_Stop(webserver, 5000);
}
