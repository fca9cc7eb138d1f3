#pragma once

#include "log_record.h"

namespace zephrane {

// Where records are delivered. write() may be called from any thread at once; each
// sink serialises its own output.
class LogSink {
public:
    virtual ~LogSink() = default;
    virtual void write(const LogRecord& record) = 0;
};

}  // namespace zephrane
