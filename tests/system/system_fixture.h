#pragma once

// What the whole-system tests share: a private PipeWire daemon, the host on our engine
// library with a storage directory and JSON port of the test's own, our test client linked
// around it, and the host's JSON control port.
#include <gtest/gtest.h>

#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "pipewire_harness.h"

namespace zephrane::testing {

// RMS of each whole block of `block` samples.
std::vector<double> blockLevels(const std::vector<float>& samples, size_t block);

// The level drop across a recording in dB: the median level of the blocks while the
// signal flowed before the change, against the median of the last three whole blocks.
struct LevelChange {
    double before = 0;
    double after = 0;
    double dB() const;
};
LevelChange levelChange(const std::vector<float>& samples, size_t block);

class WholeSystem : public ::testing::Test {
  protected:
    static constexpr const char* kHost = "zt-system";
    // The client's level swings over this period, so meters move; levels are measured
    // over whole periods.
    static constexpr double kLevelPeriodSeconds = 0.5;
    static constexpr size_t kLevelPeriodFrames = 24000;

    void SetUp() override;

    // The host on our engine with the test's storage directory, JSON port `jsonPort`.
    std::unique_ptr<ChildProcess> startHost();
    // Our client playing the test signal into the host and recording its output.
    std::unique_ptr<ChildProcess> startClient(double seconds);
    // Host and client linked; returns once the engine instance answers on the JSON port.
    void startLinked(std::unique_ptr<ChildProcess>& host, std::unique_ptr<ChildProcess>& client,
                     double seconds);
    Recording recording() { return loadRecording(files.file("client.raw")); }
    // SIGTERM and the exit: the host's or zephrane-web's result, the client's ignored.
    static ChildResult stop(ChildProcess& program);
    static void stopClient(ChildProcess& client);

    // One request line to the JSON port and its parsed reply; null when none came.
    nlohmann::json request(const std::string& line);
    bool jsonPortAnswers();

    // The variables every child gets: the daemon, the sanitizers' options.
    Environment childEnvironment() const;

    PrivateDaemon daemon;
    TempDir files;
    std::string stateDir;
    int jsonPort = 0;
    std::vector<std::string> extraHostArguments;
};

}  // namespace zephrane::testing
