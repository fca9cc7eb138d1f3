#pragma once

// Helpers shared by the engine tests: scratch directories, captured engine log lines,
// a line-based TCP client, free ports.
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace enginetest {

// A fresh directory under the system's temporary directory, removed with its contents.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::vector<std::string> list() const;

  private:
    std::string path_;
};

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& content);
bool fileExists(const std::string& path);

// Installs a log callback that keeps every engine line (severity VERB2 and below).
class LogCapture {
  public:
    struct Line {
        int severity;
        std::string text;
    };
    LogCapture();
    ~LogCapture();
    std::vector<Line> lines() const;
    bool contains(int severity, const std::string& part) const;
};

// A TCP client speaking lines.
class LineClient {
  public:
    // From the source address when given (127.0.0.x: a client of its own for the caps).
    explicit LineClient(int port, const char* source = nullptr);
    ~LineClient();
    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes);
    // The next line without its line end; empty with timedOut/closed set otherwise.
    std::string readLine(int timeoutMs = 3000);
    std::string request(const std::string& line) {
        send(line + "\n");
        return readLine();
    }
    bool closedByPeer(int timeoutMs = 3000);

  private:
    int fd_ = -1;
    std::string buffer_;
};

// A port that was free a moment ago.
int freePort();

}  // namespace enginetest
