#pragma once

#include <pthread.h>

#include <ostream>

#include "log_sink.h"

namespace zephrane {

// Writes each record as one line to standard error, whole lines under its own mutex.
class ConsoleSink : public LogSink {
public:
    ConsoleSink();
    // For tests: another stream, and whether it counts as a terminal.
    ConsoleSink(std::ostream& output, bool isTerminal);
    ~ConsoleSink() override;
    ConsoleSink(const ConsoleSink&) = delete;
    ConsoleSink& operator=(const ConsoleSink&) = delete;

    void write(const LogRecord& record) override;
    bool isTerminal() const { return isTerminal_; }

protected:
    // Holds the sink's mutex for one scope, released on every way out.
    class Lock {
    public:
        explicit Lock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
        ~Lock() { pthread_mutex_unlock(&mutex_); }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        pthread_mutex_t& mutex_;
    };

    std::ostream& output_;
    pthread_mutex_t mutex_;
    bool isTerminal_;
};

}  // namespace zephrane
