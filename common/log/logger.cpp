#include "logger.h"

namespace zephrane {

Logger* currentLogger = nullptr;

Logger::Logger(LogSeverity threshold) : threshold(threshold) { currentLogger = this; }

Logger::~Logger() {
    sinks_.clear();
    if (currentLogger == this) {
        currentLogger = nullptr;
    }
}

void Logger::write(const LogRecord& record) {
    if (record.severity() > threshold) {
        return;
    }
    for (LogSink* sink : sinks_) {
        sink->write(record);
    }
}

Logger& processLogger() {
    static Logger logger(LOG_WARN);
    return logger;
}

}  // namespace zephrane
