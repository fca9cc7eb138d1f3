#include "pipewire_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "test_signal.h"

namespace zephrane::testing {

std::string findProgram(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = dir + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return "";
}

PrivateDaemon::PrivateDaemon() {
    std::string program = findProgram("pipewire");
    if (program.empty()) {
        return;
    }
    std::string runtime = dir_.path();
    std::string log = dir_.file("pipewire.log");
    pid_t pid = fork();
    if (pid == 0) {
        int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            dup2(fd, 1);
            dup2(fd, 2);
        }
        setenv("XDG_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("PIPEWIRE_RUNTIME_DIR", runtime.c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", "disabled:", 1);
        execl(program.c_str(), "pipewire", static_cast<char*>(nullptr));
        _exit(127);
    }
    if (pid < 0) {
        return;
    }
    pid_ = pid;
    std::string socket = dir_.file("pipewire-0");
    struct stat info {};
    if (!eventually([&] { return stat(socket.c_str(), &info) == 0; }, std::chrono::seconds(5))) {
        kill(SIGKILL);
    }
}

PrivateDaemon::~PrivateDaemon() {
    kill(SIGTERM);
}

void PrivateDaemon::kill(int signal) {
    if (pid_ <= 0) {
        return;
    }
    ::kill(pid_, signal);
    int status = 0;
    waitpid(pid_, &status, 0);
    pid_ = -1;
}

Environment PrivateDaemon::environment() const {
    return {{"XDG_RUNTIME_DIR", dir_.path()},
            {"PIPEWIRE_RUNTIME_DIR", dir_.path()},
            {"DBUS_SESSION_BUS_ADDRESS", "disabled:"}};
}

ChildResult PrivateDaemon::tool(const std::string& name, const std::vector<std::string>& arguments) const {
    return runChild(findProgram(name), arguments, environment(), std::chrono::seconds(10));
}

Recording loadRecording(const std::string& path) {
    Recording recording;
    std::ifstream samples(path, std::ios::binary);
    float sample = 0;
    while (samples.read(reinterpret_cast<char*>(&sample), sizeof(sample))) {
        recording.samples.push_back(sample);
    }
    std::ifstream cycles(path + ".cycles");
    Cycle cycle{};
    while (cycles >> cycle.frames >> cycle.rate) {
        recording.cycles.push_back(cycle);
    }
    return recording;
}

namespace {

bool blockMatches(const std::vector<float>& samples, float gain, size_t begin, size_t end, size_t delay) {
    for (size_t k = begin; k < end; ++k) {
        if (samples[k] != gain * testSignal(k - delay)) {
            return false;
        }
    }
    return true;
}

}  // namespace

DelayEstimate dominantDelay(const std::vector<float>& samples, float gain, size_t from, size_t block,
                            size_t maxDelay) {
    std::map<size_t, size_t> votes;
    size_t blocks = 0;
    for (size_t begin = from; begin + block <= samples.size(); begin += block, ++blocks) {
        // Delays seen before first: most blocks agree with them.
        bool found = false;
        for (const auto& [delay, count] : votes) {
            if (delay <= begin && blockMatches(samples, gain, begin, begin + block, delay)) {
                ++votes[delay];
                found = true;
                break;
            }
        }
        for (size_t delay = 0; !found && delay <= maxDelay && delay <= begin; ++delay) {
            if (blockMatches(samples, gain, begin, begin + block, delay)) {
                ++votes[delay];
                found = true;
            }
        }
    }
    DelayEstimate estimate;
    size_t best = 0;
    for (const auto& [delay, count] : votes) {
        if (count > best) {
            best = count;
            estimate.delay = delay;
        }
    }
    estimate.share = blocks == 0 ? 0.0 : static_cast<double>(best) / static_cast<double>(blocks);
    return estimate;
}

std::vector<std::string> callsStartingWith(const std::vector<std::string>& calls, const std::string& prefix) {
    std::vector<std::string> found;
    for (const std::string& call : calls) {
        if (call.rfind(prefix, 0) == 0) {
            found.push_back(call);
        }
    }
    return found;
}

size_t indexOf(const std::vector<std::string>& lines, const std::string& line) {
    for (size_t i = 0; i < lines.size(); ++i) {
        if (lines[i] == line) {
            return i;
        }
    }
    return lines.size();
}

bool eventually(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

}  // namespace zephrane::testing
