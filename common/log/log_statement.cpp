#include "log.h"

namespace zephrane {

LogStatement::~LogStatement() {
    // The threshold was tested when the statement began; read the logger again.
    Logger* logger = currentLogger;
    if (logger == nullptr) {
        return;
    }
    for (LogSink* sink : logger->sinks()) {
        sink->write(record_);
    }
}

}  // namespace zephrane
