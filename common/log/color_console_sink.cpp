#include "color_console_sink.h"

#include <iostream>

#include "format_log_line.h"

namespace zephrane {

const char* severityColour(LogSeverity severity) {
    static const char* const colours[] = {
        "",           "\x1b[97m\x1b[41m", "\x1b[91m", "\x1b[93m", "\x1b[97m", "\x1b[96m",
        "\x1b[95m",   "\x1b[36m",         "\x1b[35m", "\x1b[94m", "\x1b[90m",
    };
    if (severity < 1 || severity > 10) {
        return colours[0];
    }
    return colours[severity];
}

ColorConsoleSink::ColorConsoleSink() : ConsoleSink(), colour_(output_) {}

ColorConsoleSink::ColorConsoleSink(std::ostream& output, bool isTerminal)
    : ConsoleSink(output, isTerminal), colour_(output) {}

void ColorConsoleSink::write(const LogRecord& record) {
    std::string line = formatLogLine(record);
    Lock lock(mutex_);
    if (isTerminal_) {
        colour_ << severityColour(record.severity());
    }
    output_ << line;
    output_.flush();
    if (isTerminal_) {
        colour_ << COLOUR_RESET;
        colour_.flush();
    }
}

ColorConsoleSink& processColorConsoleSink() {
    static ColorConsoleSink sink;
    return sink;
}

}  // namespace zephrane
