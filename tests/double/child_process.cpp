#include "child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace zephrane::testing {

Environment doubleEnvironment(const std::string& doubleDir) {
    Environment environment{{"LD_LIBRARY_PATH", doubleDir}};
    for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TSAN_OPTIONS", "TZ"}) {
        if (const char* value = std::getenv(name)) {
            environment[name] = value;
        }
    }
    return environment;
}

ChildProcess::ChildProcess(const std::string& program, const std::vector<std::string>& arguments,
                           const Environment& environment) {
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    // Built before fork: the child may only call async-signal-safe functions.
    std::vector<std::string> argStrings{program};
    argStrings.insert(argStrings.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& argument : argStrings) {
        argv.push_back(argument.data());
    }
    argv.push_back(nullptr);
    std::vector<std::string> envStrings;
    for (const auto& [name, value] : environment) {
        envStrings.push_back(name + "=" + value);
    }
    std::vector<char*> envp;
    for (std::string& entry : envStrings) {
        envp.push_back(entry.data());
    }
    envp.push_back(nullptr);

    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    outFd_ = outPipe[0];
    errFd_ = errPipe[0];
}

ChildProcess::~ChildProcess() {
    if (!exited_ && pid_ > 0) {
        kill(pid_, SIGKILL);
        reap(true);
    }
    if (outFd_ >= 0) {
        close(outFd_);
    }
    if (errFd_ >= 0) {
        close(errFd_);
    }
}

void ChildProcess::sendSignal(int signal) {
    if (!exited_) {
        kill(pid_, signal);
    }
}

void ChildProcess::pump(int timeoutMs) {
    pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
    if (outFd_ < 0 && errFd_ < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeoutMs));
        return;
    }
    if (poll(fds, 2, timeoutMs) <= 0) {
        return;
    }
    char buffer[4096];
    auto drain = [&buffer](int& fd, short revents, std::string& into) {
        if (fd < 0 || revents == 0) {
            return;
        }
        ssize_t got = read(fd, buffer, sizeof buffer);
        if (got > 0) {
            into.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            close(fd);
            fd = -1;
        }
    };
    drain(outFd_, fds[0].revents, out_);
    drain(errFd_, fds[1].revents, err_);
}

bool ChildProcess::reap(bool block) {
    if (exited_) {
        return true;
    }
    int status = 0;
    pid_t done = waitpid(pid_, &status, block ? 0 : WNOHANG);
    if (done != pid_) {
        return false;
    }
    exited_ = true;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
}

bool ChildProcess::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        pump(5);
        reap(false);
    }
    return true;
}

ChildResult ChildProcess::finish(std::chrono::milliseconds timeout) {
    ChildResult result;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!(reap(false) && outFd_ < 0 && errFd_ < 0)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            result.timedOut = true;
            kill(pid_, SIGKILL);
            reap(true);
            break;
        }
        pump(20);
    }
    result.status = status_;
    result.out = out_;
    result.err = err_;
    return result;
}

ChildResult runChild(const std::string& program, const std::vector<std::string>& arguments,
                     const Environment& environment, std::chrono::milliseconds timeout) {
    ChildProcess child(program, arguments, environment);
    return child.finish(timeout);
}

std::vector<std::string> splitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream stream(text);
    std::string line;
    while (std::getline(stream, line)) {
        lines.push_back(line);
    }
    return lines;
}

std::string readFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

std::optional<std::string> logLineBody(const std::string& line) {
    const std::string layout = "dddd-dd-dd dd:dd:dd.ddd ";
    if (line.size() < layout.size()) {
        return std::nullopt;
    }
    for (size_t i = 0; i < layout.size(); ++i) {
        bool digit = line[i] >= '0' && line[i] <= '9';
        if (layout[i] == 'd' ? !digit : line[i] != layout[i]) {
            return std::nullopt;
        }
    }
    auto number = [&line](size_t at) { return (line[at] - '0') * 10 + (line[at + 1] - '0'); };
    int month = number(5);
    int day = number(8);
    if (month < 1 || month > 12 || day < 1 || day > 31 || number(11) > 23 || number(14) > 59 ||
        number(17) > 60) {
        return std::nullopt;
    }
    return line.substr(layout.size());
}

TempDir::TempDir() {
    char pattern[] = "/tmp/zephrane_testXXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

}  // namespace zephrane::testing
