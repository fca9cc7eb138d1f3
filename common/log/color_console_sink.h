#pragma once

#include "console_sink.h"

namespace zephrane {

// A console sink that colours each line by severity when standard error is a terminal.
class ColorConsoleSink : public ConsoleSink {
public:
    ColorConsoleSink();
    ColorConsoleSink(std::ostream& output, bool isTerminal);

    void write(const LogRecord& record) override;

private:
    std::ostream& colour_;
};

// The bytes written before a line of this severity ("" for none).
const char* severityColour(LogSeverity severity);
// Written after every line on a terminal: reset attributes, erase to end of line.
inline constexpr const char* COLOUR_RESET = "\x1b[0m\x1b[0K";

// The process's colour console sink on standard error, created on first use.
ColorConsoleSink& processColorConsoleSink();

}  // namespace zephrane
