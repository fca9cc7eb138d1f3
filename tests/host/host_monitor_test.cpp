// The main loop's side of unattended operation with a fake clock and a scripted watch:
// alarm log lines, the alarm command as a real child process, systemd's notifications
// through a socket of the test's own, and the metrics page checked by promtool.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <vector>

#include "alarm_command.h"
#include "child_process.h"
#include "host_monitor.h"
#include "log_capture.h"
#include "metrics_page.h"
#include "pipewire_harness.h"

namespace zephrane {
namespace {

using namespace std::chrono_literals;
using testing::ChildResult;
using testing::TempDir;

constexpr int64_t SECOND = NS_PER_SECOND;

int64_t fakeNow = 0;
int64_t fakeClock() {
    return fakeNow;
}

// A datagram socket standing in for systemd's notification socket.
class NotifySocket {
  public:
    explicit NotifySocket(const std::string& path) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path.copy(address.sun_path, sizeof(address.sun_path) - 1);
        bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
    }
    ~NotifySocket() {
        unsetenv("NOTIFY_SOCKET");
        close(fd_);
    }
    std::vector<std::string> messages() {
        std::vector<std::string> all;
        char buffer[4096];
        ssize_t n;
        while ((n = recv(fd_, buffer, sizeof(buffer), 0)) > 0) {
            all.emplace_back(buffer, static_cast<size_t>(n));
        }
        return all;
    }

  private:
    int fd_ = -1;
};

size_t countOf(const std::vector<std::string>& lines, const std::string& line) {
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

class Monitor : public ::testing::Test {
  protected:
    Monitor() { fakeNow = 100 * SECOND; }

    MonitorSettings settings() {
        MonitorSettings s;
        s.silenceSeconds = 1;
        s.alarmCommand = script;
        return s;
    }
    // One quarter second of steady audio at `level` on both ports, with 47 quick callbacks.
    void audio(float level, uint32_t frames = 12000) {
        std::vector<float> block(frames, level);
        watch.recordInput(measureBlock(block.data(), frames), frames);
        watch.recordOutput(measureBlock(block.data(), frames), frames);
        for (int i = 0; i < 47; ++i) {
            watch.enterCallback(fakeNow);
            watch.leaveCallback(fakeNow + 100'000, 256, 48000);
        }
        watch.setQuantum(256);
        watch.setChunk(128);
    }
    void tick(HostMonitor& monitor) {
        fakeNow += MONITOR_TICK_NS;
        monitor.tick(fakeNow);
    }

    testing::LogCapture log;
    TempDir files;
    std::string script = files.file("alarm.sh");
    AudioWatch watch;
};

TEST_F(Monitor, AlarmsAreLoggedOnceEachWayAndRunTheCommandWithNameStateAndValue) {
    std::ofstream(script) << "#!/bin/sh\necho \"$1 $2 $3\" >> " << files.file("runs") << "\n";
    chmod(script.c_str(), 0755);
    HostMonitor monitor(settings(), watch, fakeClock, "9.9.9-double");
    for (int i = 0; i < 8; ++i) {
        audio(0.5f);
        tick(monitor);
    }
    for (int i = 0; i < 8; ++i) {
        audio(0.001f);  // -60 dBFS
        tick(monitor);
    }
    EXPECT_TRUE(monitor.alarms().active("silence_output"));
    for (int i = 0; i < 12; ++i) {
        audio(0.5f);
        tick(monitor);
    }
    EXPECT_FALSE(monitor.alarms().active("silence_output"));
    std::vector<std::string> lines = log.lines();
    EXPECT_EQ(countOf(lines, "WARN Alarm silence_output raised: -60.0 dBFS"), 1u);
    EXPECT_EQ(countOf(lines, "INFO Alarm silence_output cleared: -6.0 dBFS"), 1u);
    EXPECT_EQ(countOf(lines, "WARN Alarm silence_input raised: -60.0 dBFS"), 1u);

    // The command runs without being waited for; the ticks reap it.
    ASSERT_TRUE(testing::eventually(
        [&] {
            audio(0.5f);
            tick(monitor);
            return testing::splitLines(testing::readFile(files.file("runs"))).size() >= 4;
        },
        10s));
    std::vector<std::string> runs = testing::splitLines(testing::readFile(files.file("runs")));
    std::sort(runs.begin(), runs.end());
    EXPECT_EQ(runs, (std::vector<std::string>{"silence_input cleared -6.0", "silence_input raised -60.0",
                                              "silence_output cleared -6.0", "silence_output raised -60.0"}));
}

TEST_F(Monitor, AHangingCommandIsKilledAfterItsTimeAndTheAlarmsNextEventWaitsForIt) {
    std::ofstream(script) << "#!/bin/sh\necho \"$2\" >> " << files.file("runs") << "\nsleep 30\n";
    chmod(script.c_str(), 0755);
    AlarmCommand command(script, 1 * SECOND);
    command.submit({"clipping", true, "3"}, 0);
    command.submit({"clipping", false, "0"}, 0);  // waits: one at a time per alarm
    command.submit({"overload", true, "7.0"}, 0);
    EXPECT_EQ(command.running(), 2u);
    auto started = std::chrono::steady_clock::now();
    int64_t now = 0;
    ASSERT_TRUE(testing::eventually(
        [&] {
            now += 100'000'000;
            command.poll(now);
            return testing::splitLines(testing::readFile(files.file("runs"))).size() == 3;
        },
        10s));
    // The waiting event started only once the first had been killed.
    EXPECT_GE(now, SECOND);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 8s);
    std::vector<std::string> runs = testing::splitLines(testing::readFile(files.file("runs")));
    EXPECT_EQ(countOf(runs, "cleared"), 1u);
    EXPECT_EQ(countOf(log.lines(), "WARN Alarm command for clipping still runs after 1 s, killing it"), 1u);

    // Stopping ends what still runs at once.
    command.submit({"clipping", true, "1"}, now);
    EXPECT_EQ(command.running(), 1u);
    command.stopAll();
    EXPECT_EQ(command.running(), 0u);
}

TEST_F(Monitor, AMissingCommandIsReportedAndChangesNothingElse) {
    MonitorSettings s = settings();
    s.alarmCommand = files.file("no-such-program");
    AlarmCommand command(s.alarmCommand);
    command.submit({"clipping", true, "1"}, 0);
    EXPECT_EQ(command.running(), 0u);
    EXPECT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines().at(0).rfind("ERROR Alarm command ", 0), 0u) << log.lines().at(0);
}

TEST_F(Monitor, TellsSystemdReadyStatusAndWatchdogButNoWatchdogWhileACallbackHangs) {
    NotifySocket systemd(files.file("notify"));
    HostMonitor monitor(settings(), watch, fakeClock, "9.9.9-double");
    // start() needs a loop; a tick is what the timer does.
    audio(0.5f);
    tick(monitor);
    std::vector<std::string> first = systemd.messages();
    EXPECT_EQ(countOf(first, "WATCHDOG=1"), 1u);
    EXPECT_EQ(countOf(first, "STATUS=quantum 256, chunk 128, load 1.9 %, alarms: none"), 1u)
        << ::testing::PrintToString(first);

    // An idle graph is no reason to stop: no callbacks at all for 10 s. (The socket holds
    // only a few messages; systemd would read them at once.)
    size_t pings = 0;
    for (int i = 0; i < 40; ++i) {
        tick(monitor);
        pings += countOf(systemd.messages(), "WATCHDOG=1");
    }
    EXPECT_EQ(pings, 10u);

    // A callback that has not returned for over 5 s stops the keep-alive.
    watch.enterCallback(fakeNow);
    for (int i = 0; i < 20; ++i) {  // 5 s: not yet over
        tick(monitor);
        systemd.messages();
    }
    pings = 0;
    for (int i = 0; i < 20; ++i) {
        tick(monitor);
        pings += countOf(systemd.messages(), "WATCHDOG=1");
    }
    EXPECT_EQ(pings, 0u);
    EXPECT_EQ(
        countOf(log.lines(), "ERROR The audio thread has been in one cycle for over 5 s, watchdog stopped"),
        1u);
    nlohmann::json health = nlohmann::json::parse(monitor.pages().answer("GET", "/health").body);
    EXPECT_EQ(health["status"], "failing");
    EXPECT_EQ(monitor.pages().answer("GET", "/health").status, 503u);

    watch.leaveCallback(fakeNow, 256, 48000);
    tick(monitor);
    EXPECT_EQ(countOf(systemd.messages(), "WATCHDOG=1"), 1u);
    EXPECT_EQ(countOf(log.lines(), "INFO The audio thread runs again, watchdog resumed"), 1u);
}

TEST_F(Monitor, TheMetricsPagePassesPromtoolAndTheHealthPageSaysWhatIsWrong) {
    HostMonitor monitor(settings(), watch, fakeClock, "9.9.9 \"double\"\\");
    std::vector<float> loud(256, 1.0f);
    loud[0] = std::numeric_limits<float>::quiet_NaN();
    watch.recordOutput(measureAndMendBlock(loud.data(), 256), 256);
    watch.countCreation(true);
    watch.notePosition(0, 256, 48000);
    watch.notePosition(1024, 256, 48000);
    audio(0.25f);
    tick(monitor);

    std::string page = monitor.pages().answer("GET", "/metrics").body;
    for (const char* line : {
             "zephrane_output_peak_dbfs 0\n",
             "zephrane_clipped_samples_total{port=\"output\"} 255\n",
             "zephrane_nonfinite_samples_total{port=\"output\"} 1\n",
             "zephrane_missed_cycles_total 3\n",
             "zephrane_cycles_total 47\n",
             "zephrane_callback_budget_ratio_bucket{le=\"0.1\"} 47\n",
             "zephrane_callback_budget_ratio_count 47\n",
             "zephrane_instance_creations_total{result=\"ok\"} 1\n",
             "zephrane_alarm{name=\"clipping\"} 1\n",
             "zephrane_alarm{name=\"silence_output\"} 0\n",
             "zephrane_quantum_frames 256\n",
             "zephrane_chunk_frames 128\n",
             "zephrane_bypass 0\n",
             "zephrane_build_info{version=\"" ZEPHRANE_HOST_VERSION
             "\",engine=\"9.9.9 \\\"double\\\"\\\\\"} 1\n",
         }) {
        EXPECT_NE(page.find(line), std::string::npos) << line << "\n" << page;
    }

    std::string promtool = testing::findProgram("promtool");
    if (promtool.empty()) {
        GTEST_SKIP() << "promtool is not installed";
    }
    std::ofstream(files.file("metrics.txt")) << page;
    ChildResult check =
        testing::runChild("/bin/sh", {"-c", promtool + " check metrics < " + files.file("metrics.txt")},
                          {{"PATH", "/usr/bin:/bin"}});
    EXPECT_EQ(check.status, 0) << check.out << check.err;
    EXPECT_EQ(check.out + check.err, "") << page;

    nlohmann::json health = nlohmann::json::parse(monitor.pages().answer("GET", "/health?x=1").body);
    EXPECT_EQ(health["status"], "degraded");
    EXPECT_EQ(health["alarms"], nlohmann::json::array({"clipping"}));
    EXPECT_EQ(health["quantum"], 256);
    EXPECT_EQ(health["chunk"], 128);
    EXPECT_EQ(health["engine"], "9.9.9 \"double\"\\");
    EXPECT_EQ(monitor.pages().answer("GET", "/health").status, 200u);
    EXPECT_EQ(monitor.pages().answer("POST", "/metrics").status, 405u);
    EXPECT_EQ(monitor.pages().answer("GET", "/").status, 404u);
}

}  // namespace
}  // namespace zephrane
