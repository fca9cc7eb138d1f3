#pragma once

// What the tests against a real PipeWire daemon share: a private daemon per test, the
// host and our test client as child processes, the PipeWire tools, and the recordings.

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"

namespace zephrane::testing {

// The full path of a program found on PATH; empty when there is none.
std::string findProgram(const std::string& name);

// A PipeWire daemon of the test's own in a private runtime directory, so tests can run in
// parallel, force their own quantum and rate, and kill their daemon.
class PrivateDaemon {
  public:
    PrivateDaemon();
    ~PrivateDaemon();
    PrivateDaemon(const PrivateDaemon&) = delete;
    PrivateDaemon& operator=(const PrivateDaemon&) = delete;

    bool up() const { return pid_ > 0; }
    void kill(int signal);
    // The variables that lead a client to this daemon.
    Environment environment() const;
    // Runs one of the PipeWire tools against this daemon.
    ChildResult tool(const std::string& name, const std::vector<std::string>& arguments) const;
    const std::string& runtimeDir() const { return dir_.path(); }

  private:
    TempDir dir_;
    pid_t pid_ = -1;
};

struct Cycle {
    uint32_t frames;
    uint32_t rate;
};

// What a test client recorded: one sample per frame from its first cycle on, and each
// change of cycle length or rate.
struct Recording {
    std::vector<float> samples;
    std::vector<Cycle> cycles;
};
Recording loadRecording(const std::string& path);

// The delay D at which samples[k] == gain * testSignal(k - D). A loaded machine makes the
// graph miss a cycle now and then (silence for a cycle), so the recording from `from` on
// is cut into blocks of `block` frames, each block's delay is found on its own, and the
// delay most blocks agree on is taken, with the share of blocks that showed it.
struct DelayEstimate {
    std::optional<size_t> delay;
    double share = 0;
};
DelayEstimate dominantDelay(const std::vector<float>& samples, float gain, size_t from, size_t block,
                            size_t maxDelay = 20000);

// Lines of the engine double's call log that start with `prefix`.
std::vector<std::string> callsStartingWith(const std::vector<std::string>& calls, const std::string& prefix);
size_t indexOf(const std::vector<std::string>& lines, const std::string& line);

// Waits until `condition` holds, checking every 20 ms; false on time-out.
bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace zephrane::testing
