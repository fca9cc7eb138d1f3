#pragma once

// Runs one of the real programs as a child process against the engine test double and
// collects what it writes, for the subprocess tests of both programs.

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace zephrane::testing {

using Environment = std::map<std::string, std::string>;

struct ChildResult {
    int status = -1;  // exit status, 128 + signal number when killed by a signal
    bool timedOut = false;
    std::string out;
    std::string err;
};

// The environment a child starts from: nothing of the test's own but the library path to
// the double and the sanitizer settings.
Environment doubleEnvironment(const std::string& doubleDir);

class ChildProcess {
  public:
    // argv[0] is the program path itself.
    ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                 const Environment& environment);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    pid_t pid() const { return pid_; }
    void sendSignal(int signal);
    // Reads output while testing condition every few milliseconds; false on time-out.
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
    // Waits for the exit while reading output; kills the child when the time-out passes.
    ChildResult finish(std::chrono::milliseconds timeout);

  private:
    void pump(int timeoutMs);
    bool reap(bool block);

    pid_t pid_ = -1;
    int outFd_ = -1;
    int errFd_ = -1;
    bool exited_ = false;
    int status_ = -1;
    std::string out_;
    std::string err_;
};

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     const Environment& environment,
                     std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));

// Splits text at line feeds; a last line without one is kept.
std::vector<std::string> splitLines(const std::string& text);
std::string readFile(const std::string& path);

// For a console log line "YYYY-MM-DD hh:mm:ss.mmm " followed by the rest, the rest (the
// severity field, its space and the message); nothing when the date and time do not
// have that layout or are out of range.
std::optional<std::string> logLineBody(const std::string& line);

// A fresh directory under /tmp, removed with its files at destruction.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace zephrane::testing
