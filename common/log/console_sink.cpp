#include "console_sink.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

#include "format_log_line.h"

namespace zephrane {

ConsoleSink::ConsoleSink() : ConsoleSink(std::cerr, isatty(fileno(stderr)) != 0) {}

ConsoleSink::ConsoleSink(std::ostream& output, bool isTerminal) : output_(output), isTerminal_(isTerminal) {
    pthread_mutex_init(&mutex_, nullptr);
}

ConsoleSink::~ConsoleSink() { pthread_mutex_destroy(&mutex_); }

void ConsoleSink::write(const LogRecord& record) {
    std::string line = formatLogLine(record);
    Lock lock(mutex_);
    output_ << line;
    output_.flush();
}

}  // namespace zephrane
