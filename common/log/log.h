#pragma once

// The log statement:  ZLOG(LOG_INFO) << "Process frames = " << frames;
//
// When no logger is installed or the severity is above its threshold, the statement
// costs a pointer test and a compare: no record is made and no piece is evaluated.
// Otherwise the record (time and thread id) is made before the pieces are evaluated,
// and the finished record goes to every sink of the logger.

#include <cstddef>

#include "log_record.h"
#include "logger.h"

namespace zephrane {

inline bool logEnabled(LogSeverity severity) {
    Logger* logger = currentLogger;
    return logger != nullptr && severity <= logger->threshold;
}

// Streams pieces into a record; a null C string prints as "(null)".
class LogStream {
public:
    explicit LogStream(std::ostream& stream) : stream_(stream) {}

    template <typename T>
    LogStream& operator<<(const T& piece) {
        stream_ << piece;
        return *this;
    }
    template <size_t N>
    LogStream& operator<<(const char (&text)[N]) {
        stream_ << text;
        return *this;
    }
    LogStream& operator<<(const char* text) {
        stream_ << (text ? text : "(null)");
        return *this;
    }
    LogStream& operator<<(char* text) { return *this << static_cast<const char*>(text); }

private:
    std::ostream& stream_;
};

// One statement: owns the record and hands it to the sinks when the statement ends.
class LogStatement {
public:
    LogStatement(LogSeverity severity, int line) : record_(severity, "", line, "", 0), stream_(record_.stream()) {}
    ~LogStatement();
    LogStatement(const LogStatement&) = delete;
    LogStatement& operator=(const LogStatement&) = delete;

    LogStream& stream() { return stream_; }
    LogRecord& record() { return record_; }

private:
    LogRecord record_;
    LogStream stream_;
};

}  // namespace zephrane

#define ZLOG(severity)                             \
    if (!::zephrane::logEnabled(severity)) {       \
    } else                                         \
        ::zephrane::LogStatement((severity), __LINE__).stream()
