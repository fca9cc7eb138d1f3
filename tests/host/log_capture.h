#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "log.h"

namespace zephrane::testing {

// Installs a logger at DEBUG for one test and keeps every line as "SEVERITY text".
class LogCapture : public LogSink {
  public:
    LogCapture() : logger_(LOG_DEBUG) { logger_.addSink(this); }
    ~LogCapture() override { logger_.clearSinks(); }

    void write(const LogRecord& record) override {
        std::lock_guard lock(mutex_);
        lines_.push_back(std::string(severityName(record.severity())) + " " + record.message());
    }
    std::vector<std::string> lines() {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }
    size_t count(const std::string& line) {
        size_t n = 0;
        for (const std::string& l : lines()) {
            n += l == line ? 1 : 0;
        }
        return n;
    }

  private:
    Logger logger_;
    std::mutex mutex_;
    std::vector<std::string> lines_;
};

}  // namespace zephrane::testing
