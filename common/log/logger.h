#pragma once

#include <vector>

#include "log_sink.h"

namespace zephrane {

class Logger;

// The installed logger, or null. Written only at start-up and exit, read without a lock.
extern Logger* currentLogger;

// The process-wide dispatcher. Threshold and sink list are set on the main thread before
// any other thread exists and only read afterwards.
class Logger : public LogSink {
public:
    explicit Logger(LogSeverity threshold = LOG_WARN);
    ~Logger() override;
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;

    void write(const LogRecord& record) override;

    void clearSinks() { sinks_.clear(); }
    void addSink(LogSink* sink) { sinks_.push_back(sink); }
    const std::vector<LogSink*>& sinks() const { return sinks_; }

    LogSeverity threshold = LOG_WARN;

private:
    std::vector<LogSink*> sinks_;  // not owned
};

// The process's logger, created on first use (threshold WARN) and destroyed at exit.
Logger& processLogger();

}  // namespace zephrane
