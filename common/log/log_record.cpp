#include "log_record.h"

#include <sys/syscall.h>
#include <unistd.h>

namespace zephrane {

const char* severityName(LogSeverity severity) {
    static const char* const names[] = {"NONE",  "FATAL", "ERROR", "WARN",  "INFO", "VERB",
                                        "VERB2", "VERB3", "VERB4", "VERB5", "DEBUG"};
    if (severity < 1 || severity > 10) {
        return names[0];
    }
    return names[severity];
}

int currentThreadId() { return static_cast<int>(syscall(SYS_gettid)); }

LogRecord::LogRecord(LogSeverity severity, const char* function, int line, const char* file, uintptr_t object)
    : severity_(severity),
      threadId_(currentThreadId()),
      object_(object),
      line_(line),
      function_(function ? function : ""),
      file_(file ? file : "") {
    // Taken last, so the time is as close as possible to the statement's pieces.
    gettimeofday(&time_, nullptr);
}

const char* LogRecord::message() const {
    messageCache_ = stream_.str();
    return messageCache_.c_str();
}

const char* LogRecord::functionName() const {
    std::string_view signature(function_);
    size_t open = signature.find('(');
    if (open == std::string_view::npos) {
        functionNameCache_ = signature;
    } else {
        size_t begin = 0;
        for (size_t i = open; i > 0; --i) {
            if (signature[i - 1] == ' ') {
                begin = i;
                break;
            }
        }
        functionNameCache_ = signature.substr(begin, open - begin);
    }
    return functionNameCache_.c_str();
}

}  // namespace zephrane
