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

#include "color_console_sink.h"
#include "engine_log_bridge.h"
#include "log.h"
#include "zephrane_engine.h"

namespace {

const char* const VERSION_PREFIX = "KORVEX ZEPHRANE.QX Version ";

// Set by the signal handler, polled once per second by main. One lock-free byte, so
// writing it is async-signal-safe.
std::atomic<unsigned char> stopRequested{0};
static_assert(std::atomic<unsigned char>::is_always_lock_free);

extern "C" void onStopSignal(int) {
    // A second SIGINT or SIGTERM, for instance while the server stops, ends the process.
    std::signal(SIGABRT, SIG_DFL);
    std::signal(SIGINT, SIG_DFL);
    std::signal(SIGTERM, SIG_DFL);
    stopRequested.store(1);
}

const option WEB_OPTIONS[] = {
    {"help", no_argument, nullptr, 'h'},       {"version", no_argument, nullptr, 'V'},
    {"ip", required_argument, nullptr, 'i'},   {"port", required_argument, nullptr, 'p'},
    {"http", required_argument, nullptr, 'w'}, {"https", required_argument, nullptr, 's'},
    {"verbose", no_argument, nullptr, 'v'},    {nullptr, 0, nullptr, 0},
};

// Each entry's letter, followed by as many ':' as its has_arg value.
std::string shortOptionString(const option* table) {
    std::string letters;
    for (const option* entry = table; entry->name != nullptr; ++entry) {
        letters += static_cast<char>(entry->val);
        letters.append(static_cast<size_t>(entry->has_arg), ':');
    }
    return letters;
}

// strtol as on the 32-bit target, where long saturates at the signed 32-bit limits; a
// negative result wraps modulo 2^32.
uint32_t portFromEnvironment(const char* text) {
    long value = std::strtol(text, nullptr, 10);
    if (value > INT32_MAX) {
        value = INT32_MAX;
    } else if (value < INT32_MIN) {
        value = INT32_MIN;
    }
    return static_cast<uint32_t>(static_cast<int32_t>(value));
}

// Formatted extraction: blanks skipped, a sign allowed, the rest ignored; 0 for text that
// is not a number, 4294967295 above that; an empty or blank argument leaves the value.
template <typename T>
void extract(const char* text, T& value) {
    std::istringstream stream(text != nullptr ? text : "");
    stream >> value;
}

const char* engineVersion() {
    const char* version = zephrane_GetVersion();
    return version != nullptr ? version : "";
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
    zephrane::ColorConsoleSink& sink = zephrane::processColorConsoleSink();
    zephrane::Logger& logger = zephrane::processLogger();
    logger.clearSinks();
    logger.addSink(&sink);
    logger.threshold = zephrane::LOG_INFO;
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
        std::string text = procVerb;
        if (text == "-v" || text == "-vv" || text == "-vvv" || text == "-vvvv" || text == "-vvvvv") {
            verbosity = zephrane::LOG_INFO + static_cast<zephrane::LogSeverity>(text.size() - 1);
        } else {
            ZLOG(zephrane::LOG_WARN) << "ENV PROC_VERB unknown " << text;
        }
    }

    const std::string letters = shortOptionString(WEB_OPTIONS);
    int letter;
    while ((letter = getopt_long_only(argc, argv, letters.c_str(), WEB_OPTIONS, nullptr)) != -1) {
        switch (letter) {
            case 'V':
                printLine(std::string(VERSION_PREFIX) + engineVersion());
                std::exit(0);
            case 'h':
                printLine(std::string(VERSION_PREFIX) + engineVersion());
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
        if (status & 1) {
            ZLOG(zephrane::LOG_VERB3) << "Web server listening on port " << httpPort;
        } else {
            ZLOG(zephrane::LOG_ERROR) << "Web server failed to listen on port " << httpPort;
        }
    }
    if (httpsPort != 0) {
        if (status & 2) {
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
