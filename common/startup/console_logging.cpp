#include "console_logging.h"

#include "color_console_sink.h"

namespace zephrane {

Logger& installConsoleLogging() {
    ColorConsoleSink& sink = processColorConsoleSink();
    Logger& logger = processLogger();
    logger.clearSinks();
    logger.addSink(&sink);
    logger.threshold = LOG_INFO;
    return logger;
}

}  // namespace zephrane
