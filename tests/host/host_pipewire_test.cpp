// zephrane-filter against the engine double in a real PipeWire graph, each test with a
// daemon of its own. Our test client plays a known signal into the host and records what
// comes back; a plain passthrough node in the same graph gives the graph's own delay.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <nlohmann/json.hpp>
#include <set>
#include <string>
#include <thread>

#include "clean_exit.h"
#include "decode_base64.h"
#include "icon_data.h"
#include "pipewire_harness.h"

namespace zephrane::testing {
namespace {

using namespace std::chrono_literals;

const std::string HOST = "zt-host";

size_t countLinesContaining(const std::string& text, const std::string& piece) {
    size_t n = 0;
    for (const std::string& line : splitLines(text)) {
        n += line.find(piece) != std::string::npos ? 1 : 0;
    }
    return n;
}

bool fileExists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

class HostInGraph : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!daemon.up()) {
            GTEST_SKIP() << "no PipeWire daemon could be started";
        }
    }

    std::unique_ptr<ChildProcess> startHost(const Environment& extra = {},
                                            const std::vector<std::string>& arguments = {"-v", "-C", HOST}) {
        Environment environment = doubleEnvironment(ZEPHRANE_DOUBLE_DIR);
        environment.merge(daemon.environment());
        environment["ZDOUBLE_CALL_LOG"] = callLog;
        environment["TSAN_OPTIONS"] += ":suppressions=" ZEPHRANE_TSAN_SUPPRESSIONS;
        for (const auto& [key, value] : extra) {
            environment[key] = value;
        }
        return std::make_unique<ChildProcess>(ZEPHRANE_FILTER_PATH, arguments, environment);
    }

    // A client playing the test signal and recording for `seconds`, or a passthrough.
    std::unique_ptr<ChildProcess> startClient(const std::string& name, const std::string& latency,
                                              double seconds, bool passthrough = false,
                                              const std::vector<std::string>& extra = {}) {
        std::vector<std::string> arguments{"--name", name,        "--latency",
                                           latency,  "--seconds", std::to_string(seconds)};
        arguments.insert(arguments.end(), extra.begin(), extra.end());
        if (passthrough) {
            arguments.push_back("--passthrough");
        } else {
            arguments.insert(arguments.end(), {"--record", files.file(name + ".raw")});
        }
        Environment environment = daemon.environment();
        const char* tsan = std::getenv("TSAN_OPTIONS");
        environment["TSAN_OPTIONS"] =
            std::string(tsan != nullptr ? tsan : "") + ":suppressions=" ZEPHRANE_TSAN_SUPPRESSIONS;
        return std::make_unique<ChildProcess>(ZEPHRANE_TEST_CLIENT_PATH, arguments, environment);
    }

    Recording recordingOf(const std::string& name) { return loadRecording(files.file(name + ".raw")); }

    void waitForOutputPorts(const std::vector<std::string>& ports) {
        ASSERT_TRUE(eventually(
            [&] {
                std::string listed = daemon.tool("pw-link", {"-o"}).out;
                return std::all_of(ports.begin(), ports.end(), [&](const std::string& port) {
                    return listed.find(port + "\n") != std::string::npos;
                });
            },
            5s))
            << "ports did not appear";
    }

    void link(const std::string& output, const std::string& input) {
        ChildResult result = daemon.tool("pw-link", {output, input});
        ASSERT_EQ(result.status, 0) << output << " -> " << input << ": " << result.err;
    }

    // Client output into the host, host output back into the client.
    void linkAround(const std::string& node, const std::string& client) {
        link(client + ":out", node + ":FL");
        link(node + ":FL", client + ":in");
    }
    void linkPassthrough(const std::string& pass, const std::string& client) {
        link(client + ":out", pass + ":in");
        link(pass + ":out", client + ":in");
    }

    std::vector<std::string> calls() {
        std::vector<std::string> lines = splitLines(readFile(callLog));
        std::erase_if(lines, [](const std::string& line) { return line.rfind("#", 0) == 0; });
        return lines;
    }
    size_t callCount(const std::string& prefix) { return callsStartingWith(calls(), prefix).size(); }

    static nlohmann::json propsOf(const nlohmann::json& object) {
        if (object.contains("info") && object["info"].is_object() && object["info"].contains("props")) {
            return object["info"]["props"];
        }
        return nlohmann::json::object();
    }

    // The host's node as pw-dump shows it (null when absent), and its ports.
    nlohmann::json hostNode(nlohmann::json* ports = nullptr) {
        nlohmann::json objects = nlohmann::json::parse(daemon.tool("pw-dump", {}).out);
        nlohmann::json node;
        for (const auto& object : objects) {
            if (object.value("type", "") == "PipeWire:Interface:Node" &&
                propsOf(object).value("media.name", "") == "KORVEX ZEPHRANE.QX") {
                node = object;
            }
        }
        if (ports != nullptr && !node.is_null()) {
            *ports = nlohmann::json::array();
            for (const auto& object : objects) {
                nlohmann::json props = propsOf(object);
                if (object.value("type", "") == "PipeWire:Interface:Port" && props.contains("node.id") &&
                    props["node.id"] == node["id"]) {
                    ports->push_back(object);
                }
            }
        }
        return node;
    }

    PrivateDaemon daemon;
    TempDir files;
    std::string callLog = files.file("calls.log");
};

TEST_F(HostInGraph, ShowsItsNodePortsAndIconAndRemovesTheIconOnSigterm) {
    auto host = startHost();
    waitForOutputPorts({HOST + ":FL"});
    nlohmann::json ports;
    nlohmann::json node = hostNode(&ports);
    ASSERT_FALSE(node.is_null());
    const auto& props = node["info"]["props"];
    EXPECT_EQ(props["media.type"], "Audio");
    EXPECT_EQ(props["media.category"], "Filter");
    EXPECT_EQ(props["media.role"], "DSP");
    EXPECT_EQ(props["application.name"], HOST);
    EXPECT_EQ(props["application.icon"], iconIcoBase64);

    ASSERT_EQ(ports.size(), 2u);
    std::set<std::string> directions;
    for (const auto& port : ports) {
        const auto& p = port["info"]["props"];
        directions.insert(p["port.direction"].get<std::string>());
        EXPECT_EQ(p["port.name"], "FL");
        EXPECT_EQ(p["audio.channel"], "FL");
        EXPECT_EQ(p["format.dsp"], "32 bit float mono audio");
        EXPECT_EQ(p["audio.format"], "f32");
        EXPECT_EQ(p["audio.rate"].dump(), "48000");
        EXPECT_EQ(p["audio.allowed-rates"], "[ 48000 ]");
    }
    EXPECT_EQ(directions, (std::set<std::string>{"in", "out"}));

    std::string icon = props["application.icon-name"];
    ASSERT_EQ(icon.rfind("/tmp/png", 0), 0u) << icon;
    std::string png = readFile(icon);
    EXPECT_EQ(png.size(), 8703u);
    EXPECT_EQ(png, decodeBase64(iconPngBase64));

    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_FALSE(fileExists(icon));
    EXPECT_EQ(countLinesContaining(result.err, "VERB  MAIN stopping"), 1u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "VERB  MAIN exiting now"), 1u) << result.err;
    // Never linked, never scheduled: no engine process was ever made.
    EXPECT_EQ(callCount("zephrane_InitProcess3"), 0u);
}

TEST_F(HostInGraph, WithoutAClientNameTheNodeIsStillLinkableByName) {
    auto host = startHost({}, {});
    waitForOutputPorts({"zephrane-filter:FL"});
    EXPECT_EQ(propsOf(hostNode())["application.name"], "zephrane-filter");
    host->sendSignal(SIGTERM);
    EXPECT_TRUE(exitedCleanly(host->finish(10s)));
}

struct LagCase {
    const char* name;
    const char* latency;
    uint32_t cycle;
    uint32_t chunk;
    Environment engine;
};

void PrintTo(const LagCase& c, std::ostream* os) {
    *os << c.name;
}

class HostLag : public HostInGraph, public ::testing::WithParamInterface<LagCase> {};

TEST_P(HostLag, OutputIsTheEngineResultOneChunkLaterThanThroughAPlainPassthrough) {
    const LagCase& c = GetParam();
    Environment engine = c.engine;
    engine["ZDOUBLE_GAIN"] = "0.5";
    auto hostProcess = startHost(engine);
    auto pass = startClient("zt-pass", c.latency, 30, true);
    auto client = startClient("zt-client", c.latency, 1.5);
    auto probe = startClient("zt-probe", c.latency, 1.5);
    waitForOutputPorts({HOST + ":FL", "zt-pass:out", "zt-client:out", "zt-probe:out"});
    linkAround(HOST, "zt-client");
    linkPassthrough("zt-pass", "zt-probe");
    EXPECT_EQ(client->finish(10s).status, 0);
    EXPECT_EQ(probe->finish(10s).status, 0);
    pass->sendSignal(SIGTERM);
    pass->finish(5s);

    Recording through = recordingOf("zt-client");
    Recording plain = recordingOf("zt-probe");
    ASSERT_FALSE(through.cycles.empty());
    EXPECT_EQ(through.cycles.back().frames, c.cycle);
    DelayEstimate graph = dominantDelay(plain.samples, 1.0f, plain.samples.size() / 2, c.cycle);
    DelayEstimate host = dominantDelay(through.samples, 0.5f, through.samples.size() / 2, c.cycle);
    ASSERT_TRUE(graph.delay) << "no passthrough delay found";
    ASSERT_TRUE(host.delay) << "output is not the delayed engine result";
    EXPECT_GE(graph.share, 0.5);
    EXPECT_GE(host.share, 0.5);
    EXPECT_EQ(*host.delay, *graph.delay + c.chunk) << "graph delay " << *graph.delay;

    hostProcess->sendSignal(SIGTERM);
    ChildResult result = hostProcess->finish(10s);
    EXPECT_EQ(result.status, 0) << result.err;
    std::vector<std::string> made = calls();
    ASSERT_GE(made.size(), 2u);
    // Stopped in order at shutdown; the instance object is left to the process exit.
    EXPECT_EQ(std::vector<std::string>(made.end() - 2, made.end()),
              (std::vector<std::string>{"zephrane_StopUpdateThread p1", "zephrane_ExitProcess p1"}));
    EXPECT_EQ(callCount("zephrane_InitProcess3"), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    CycleAndChunk, HostLag,
    ::testing::Values(LagCase{"256_128", "256/48000", 256, 128, {{"ZDOUBLE_POSSIBLE_SIZES", "128"}}},
                      LagCase{"256_96", "256/48000", 256, 96, {{"ZDOUBLE_CHUNK_FRAMES", "96"}}},
                      LagCase{"64_128", "64/48000", 64, 128, {{"ZDOUBLE_POSSIBLE_SIZES", "128"}}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(HostInGraph, ANewQuantumMakesANewInstanceBeforeTheOldOneIsTornDown) {
    auto host = startHost();
    auto client = startClient("zt-client", "256/48000", 2.5);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");
    ASSERT_TRUE(eventually([&] { return callCount("zephrane_InitProcess3") == 1; }, 5s));
    ASSERT_EQ(daemon.tool("pw-metadata", {"-n", "settings", "0", "clock.force-quantum", "512"}).status, 0);
    ASSERT_TRUE(eventually([&] { return callCount("zephrane_ExitProcess p1") == 1; }, 5s));
    client->finish(10s);
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);

    std::vector<std::string> made = calls();
    std::vector<std::string> inits = callsStartingWith(made, "zephrane_InitProcess3");
    ASSERT_EQ(inits.size(), 2u);
    EXPECT_EQ(inits[1].substr(inits[1].rfind(' ')), " 512");
    EXPECT_LT(indexOf(made, inits[1]), indexOf(made, "zephrane_ExitProcess p1"));
    EXPECT_LT(indexOf(made, "zephrane_StopUpdateThread p1"), indexOf(made, "zephrane_ExitProcess p1"));
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Process frames = 512"), 1u);
    EXPECT_EQ(recordingOf("zt-client").cycles.back().frames, 512u);
}

TEST_F(HostInGraph, FailingCreationPassesTheAudioThroughAndIsRetriedAtMostOncePerSecond) {
    auto host = startHost({{"ZDOUBLE_INIT_FAIL", "1"}, {"ZDOUBLE_GAIN", "0.5"}});
    auto client = startClient("zt-client", "256/48000", 2.5);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");
    client->finish(10s);
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);

    // About two seconds of failing cycles, some four hundred of them.
    size_t attempts = callCount("zephrane_InitProcess3");
    EXPECT_GE(attempts, 2u);
    EXPECT_LE(attempts, 3u);
    EXPECT_EQ(countLinesContaining(result.err, "WARN  Invalid instance"), attempts);
    EXPECT_EQ(countLinesContaining(result.err, "INFO  Process frames = 256"), attempts);
    Recording recording = recordingOf("zt-client");
    DelayEstimate bypass = dominantDelay(recording.samples, 1.0f, recording.samples.size() / 2, 256);
    ASSERT_TRUE(bypass.delay) << "audio was not passed through unchanged";
    EXPECT_GE(bypass.share, 0.5);
    EXPECT_LE(*bypass.delay, 256u);
}

TEST_F(HostInGraph, AnUnlinkedInputGivesTheEngineExactZeros) {
    auto host = startHost({{"ZDOUBLE_GAIN", "0.5"}});
    auto client = startClient("zt-client", "256/48000", 1.2);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    link(HOST + ":FL", "zt-client:in");
    client->finish(10s);
    host->sendSignal(SIGTERM);
    EXPECT_TRUE(exitedCleanly(host->finish(10s)));

    EXPECT_EQ(callCount("zephrane_InitProcess3"), 1u);
    std::string counts = readFile(callLog);
    EXPECT_EQ(counts.find("# counts ProcessAudio_Planar=0 "), std::string::npos) << "engine never ran";
    Recording recording = recordingOf("zt-client");
    ASSERT_GT(recording.samples.size(), 1000u);
    for (size_t k = recording.samples.size() / 2; k < recording.samples.size(); ++k) {
        ASSERT_EQ(recording.samples[k], 0.0f) << "frame " << k;
    }
}

TEST_F(HostInGraph, AForcedRateOf44100PassesThroughWithOneWarning) {
    ASSERT_EQ(daemon.tool("pw-metadata", {"-n", "settings", "0", "clock.force-rate", "44100"}).status, 0);
    auto host = startHost({{"ZDOUBLE_GAIN", "0.5"}});
    auto client = startClient("zt-client", "256/44100", 1.5);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");
    client->finish(10s);
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);

    Recording recording = recordingOf("zt-client");
    ASSERT_FALSE(recording.cycles.empty());
    EXPECT_EQ(recording.cycles.back().rate, 44100u);
    DelayEstimate through = dominantDelay(recording.samples, 1.0f, recording.samples.size() / 2, 256);
    ASSERT_TRUE(through.delay) << "not passed through";
    EXPECT_GE(through.share, 0.5);
    EXPECT_EQ(countLinesContaining(result.err, "WARN  Graph rate 44100 Hz"), 1u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "WARN"), 1u) << result.err;
    EXPECT_EQ(callCount("zephrane_InitProcess3"), 0u);
}

// The handler marks itself done by restoring the default action, which shows in the
// process's caught-signal mask.
bool catchesSignal(pid_t pid, int signal) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("SigCgt:", 0) == 0) {
            return ((std::stoull(line.substr(7), nullptr, 16) >> (signal - 1)) & 1) != 0;
        }
    }
    return false;
}

TEST_F(HostInGraph, ASecondQuickSignalEndsTheProcessAtOnce) {
    auto host = startHost();
    waitForOutputPorts({HOST + ":FL"});
    nlohmann::json node = hostNode();
    ASSERT_FALSE(node.is_null());
    std::string icon = node["info"]["props"]["application.icon-name"];
    ASSERT_TRUE(catchesSignal(host->pid(), SIGINT));

    // Fill the host's standard error, so its first shutdown line blocks and the shutdown
    // is surely still running when the second signal comes.
    int err = open(("/proc/" + std::to_string(host->pid()) + "/fd/2").c_str(), O_WRONLY | O_NONBLOCK);
    ASSERT_GE(err, 0);
    std::string filler(4095, '.');
    filler += '\n';
    while (write(err, filler.data(), filler.size()) > 0) {
    }
    close(err);

    host->sendSignal(SIGINT);
    ASSERT_TRUE(eventually([&] { return !catchesSignal(host->pid(), SIGINT); }, 5s));
    host->sendSignal(SIGINT);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 128 + SIGINT) << result.err;
    // Ended by the default action: no exit handlers, the icon file stays behind.
    EXPECT_TRUE(fileExists(icon));
    std::remove(icon.c_str());
}

TEST_F(HostInGraph, ADaemonKilledWhileRunningEndsTheHostWithStatus255) {
    auto host = startHost();
    auto client = startClient("zt-client", "256/48000", 30);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    nlohmann::json node = hostNode();
    ASSERT_FALSE(node.is_null());
    std::string icon = node["info"]["props"]["application.icon-name"];
    linkAround(HOST, "zt-client");
    ASSERT_TRUE(eventually([&] { return callCount("zephrane_WaitUpdateThreadReady") == 1; }, 5s));

    auto killed = std::chrono::steady_clock::now();
    daemon.kill(SIGKILL);
    ChildResult result = host->finish(5s);
    auto took = std::chrono::steady_clock::now() - killed;
    EXPECT_EQ(result.status, 255) << result.err;
    EXPECT_LT(took, 1s);
    EXPECT_EQ(countLinesContaining(result.err, "ERROR Lost the connection to PipeWire"), 1u) << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "VERB  MAIN exiting now"), 1u);
    std::vector<std::string> made = calls();
    ASSERT_GE(made.size(), 2u);
    EXPECT_EQ(std::vector<std::string>(made.end() - 2, made.end()),
              (std::vector<std::string>{"zephrane_StopUpdateThread p1", "zephrane_ExitProcess p1"}));
    EXPECT_FALSE(fileExists(icon));
}

// Unattended operation: the host watches its own audio.

TEST_F(HostInGraph,
       SilenceIsRaisedAfterItsHoldAndClearedByTheToneAndTheAlarmCommandRunsAndAHangingOneIsKilled) {
    const std::string script = files.file("alarm.sh");
    const std::string runs = files.file("runs");
    // Records its arguments; the raise of the input silence hangs.
    std::ofstream(script) << "#!/bin/sh\necho \"$1 $2 $3\" >> " << runs
                          << "\nif [ \"$1 $2\" = \"silence_input raised\" ]; then sleep 60; fi\n";
    chmod(script.c_str(), 0755);
    auto host = startHost({{"SILENCE_SECONDS", "1"}, {"ALARM_COMMAND", script}, {"ZDOUBLE_GAIN", "0.5"}});
    auto client = startClient("zt-client", "256/48000", 30, false, {"--silent-seconds", "3"});
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");

    // The clear of the input silence waits for the hanging raise, which is killed after 10 s.
    auto cleared = [&] { return readFile(runs).find("silence_input cleared") != std::string::npos; };
    ASSERT_TRUE(eventually(cleared, 30s)) << readFile(runs);
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);
    client->sendSignal(SIGTERM);
    client->finish(10s);

    for (const char* port : {"input", "output"}) {
        const std::string name = std::string("silence_") + port;
        EXPECT_EQ(countLinesContaining(result.err, "WARN  Alarm " + name + " raised: "), 1u) << result.err;
        EXPECT_EQ(countLinesContaining(result.err, "INFO  Alarm " + name + " cleared: "), 1u) << result.err;
    }
    EXPECT_EQ(countLinesContaining(result.err, "WARN  Alarm command for silence_input still runs after 10 s"),
              1u)
        << result.err;
    std::vector<std::string> lines = splitLines(readFile(runs));
    // A loaded machine may miss graph cycles for long enough to raise the overload too.
    std::erase_if(lines, [](const std::string& line) { return line.rfind("overload ", 0) == 0; });
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(lines.size(), 4u) << readFile(runs) << result.err;
    // The tone at half gain is about -17 dBFS on the output and -11 dBFS on the input.
    EXPECT_EQ(lines[0].rfind("silence_input cleared -1", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1], "silence_input raised -inf");
    EXPECT_EQ(lines[2].rfind("silence_output cleared -1", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3], "silence_output raised -inf");
}

TEST_F(HostInGraph, AFullScaleOutputRaisesClipping) {
    auto host = startHost({{"ZDOUBLE_GAIN", "4"}});
    auto client = startClient("zt-client", "256/48000", 1.5);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");
    client->finish(10s);
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(countLinesContaining(result.err, "WARN  Alarm clipping raised: "), 1u) << result.err;
}

TEST_F(HostInGraph, AnEngineReturningNaNGivesZerosOnTheGraphAndSaysHowMany) {
    auto host = startHost({{"ZDOUBLE_GAIN", "nan"}});
    auto client = startClient("zt-client", "256/48000", 1.5);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");
    client->finish(10s);
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);

    Recording recording = recordingOf("zt-client");
    ASSERT_GT(recording.samples.size(), 10000u);
    for (size_t k = 0; k < recording.samples.size(); ++k) {
        ASSERT_EQ(recording.samples[k], 0.0f) << "frame " << k;
    }
    EXPECT_EQ(countLinesContaining(result.err, "WARN  NaN or infinite samples replaced by 0 on the output: "),
              1u)
        << result.err;
}

// A datagram socket in place of systemd's, read on a thread of its own.
class FakeSystemd {
  public:
    explicit FakeSystemd(const std::string& path) : path_(path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        reader_ = std::thread([this] {
            char buffer[4096];
            pollfd entry{fd_, POLLIN, 0};
            while (!stop_) {
                if (poll(&entry, 1, 50) == 1) {
                    ssize_t n = recv(fd_, buffer, sizeof(buffer), 0);
                    if (n > 0) {
                        std::lock_guard lock(mutex_);
                        messages_.emplace_back(buffer, static_cast<size_t>(n));
                    }
                }
            }
        });
    }
    ~FakeSystemd() {
        stop_ = true;
        reader_.join();
        close(fd_);
    }
    bool bound() const { return bound_; }
    std::vector<std::string> messages() {
        std::lock_guard lock(mutex_);
        return messages_;
    }

  private:
    std::string path_;
    int fd_ = -1;
    bool bound_ = false;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> messages_;
    std::thread reader_;
};

TEST_F(HostInGraph, AnEngineHangingInProcessingStopsTheWatchdogUntilTheCycleReturns) {
    FakeSystemd systemd(files.file("notify"));
    ASSERT_TRUE(systemd.bound());
    // About a second into the audio, one processing call sleeps 6 s.
    auto host = startHost({{"NOTIFY_SOCKET", files.file("notify")},
                           {"ZDOUBLE_POSSIBLE_SIZES", "256"},
                           {"ZDOUBLE_STALL_AT_CALL", "200"},
                           {"ZDOUBLE_STALL_MS", "6000"}});
    auto client = startClient("zt-client", "256/48000", 30);
    waitForOutputPorts({HOST + ":FL", "zt-client:out"});
    linkAround(HOST, "zt-client");
    auto has = [&](const std::string& piece) {
        for (const std::string& message : systemd.messages()) {
            if (message.find(piece) != std::string::npos) {
                return true;
            }
        }
        return false;
    };
    ASSERT_TRUE(eventually([&] { return has("audio thread stuck"); }, 20s));
    // Back to normal once the cycle returns, with the keep-alive.
    ASSERT_TRUE(eventually(
        [&] {
            std::vector<std::string> all = systemd.messages();
            return !all.empty() && all.back() == "WATCHDOG=1";
        },
        10s));
    host->sendSignal(SIGTERM);
    ChildResult result = host->finish(10s);
    EXPECT_EQ(result.status, 0);
    client->sendSignal(SIGTERM);
    client->finish(10s);

    std::vector<std::string> messages = systemd.messages();
    ASSERT_FALSE(messages.empty());
    EXPECT_EQ(messages.front(), "READY=1");
    EXPECT_EQ(messages.back(), "STOPPING=1");
    size_t stuck = 0;
    while (stuck < messages.size() && messages[stuck].find("audio thread stuck") == std::string::npos) {
        ++stuck;
    }
    ASSERT_LT(stuck, messages.size());
    EXPECT_NE(std::find(messages.begin(), messages.begin() + stuck, "WATCHDOG=1"), messages.begin() + stuck)
        << "pings before the hang";
    size_t resumed = stuck + 1;
    while (resumed < messages.size() && messages[resumed].rfind("STATUS=", 0) != 0) {
        EXPECT_NE(messages[resumed], "WATCHDOG=1") << "a ping while the audio thread hung";
        ++resumed;
    }
    EXPECT_EQ(countLinesContaining(result.err, "ERROR The audio thread has been in one cycle for over 5 s"),
              1u)
        << result.err;
    EXPECT_EQ(countLinesContaining(result.err, "INFO  The audio thread runs again"), 1u) << result.err;
}

TEST(HostWithoutDaemon, CannotConnectAndEndsWithStatus255) {
    TempDir empty;
    TempDir files;
    Environment environment = doubleEnvironment(ZEPHRANE_DOUBLE_DIR);
    environment["XDG_RUNTIME_DIR"] = empty.path();
    environment["PIPEWIRE_RUNTIME_DIR"] = empty.path();
    environment["ZDOUBLE_CALL_LOG"] = files.file("calls.log");
    // This way out leaves the PipeWire objects to the process exit on purpose.
    environment["LSAN_OPTIONS"] = environment["LSAN_OPTIONS"] + ":detect_leaks=0";
    ChildResult result = runChild(ZEPHRANE_FILTER_PATH, {"-v"}, environment);
    EXPECT_EQ(result.status, 255);
    EXPECT_NE(result.err.find("can't connect\n"), std::string::npos) << result.err;
    EXPECT_EQ(readFile(files.file("calls.log")).find("zephrane_InitProcess3"), std::string::npos);
}

}  // namespace
}  // namespace zephrane::testing
