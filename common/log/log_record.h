#pragma once

#include <sys/time.h>

#include <cstdint>
#include <sstream>
#include <string>

#include "log_severity.h"

namespace zephrane {

// One message under construction. Lives on the stack of the statement that makes it,
// is never copied, and reaches the sinks by const reference.
class LogRecord {
public:
    LogRecord(LogSeverity severity, const char* function, int line, const char* file, uintptr_t object);
    LogRecord(const LogRecord&) = delete;
    LogRecord& operator=(const LogRecord&) = delete;

    virtual timeval time() const { return time_; }
    virtual LogSeverity severity() const { return severity_; }
    virtual int threadId() const { return threadId_; }
    virtual uintptr_t object() const { return object_; }
    virtual int line() const { return line_; }
    // The text streamed so far; valid until the record dies or message() is called again.
    virtual const char* message() const;
    // The bare function name cut out of the signature text; same lifetime rule.
    virtual const char* functionName() const;
    virtual const char* file() const { return file_; }
    virtual ~LogRecord() = default;

    std::ostream& stream() { return stream_; }

private:
    timeval time_{};
    LogSeverity severity_;
    int threadId_;
    uintptr_t object_;
    int line_;
    std::ostringstream stream_;
    const char* function_;
    const char* file_;
    mutable std::string functionNameCache_;
    mutable std::string messageCache_;
};

// Kernel thread id of the calling thread.
int currentThreadId();

}  // namespace zephrane
