#pragma once

#include <functional>
#include <string>

#include "log_severity.h"

namespace zephrane {

// Receives every engine log line once the bridge is registered. Empty at start.
extern std::function<void(int severity, const std::string& text)> engineLogHandler;

// The C callback handed to the engine library. Safe on any engine thread; never throws
// into the engine; a null text counts as empty. Once the process has begun to exit
// (closeEngineLogBridge), lines are dropped.
extern "C" void engineLogBridge(int severity, const char* text);

// The host's handler: drops engine DEBUG lines, filters by the logger's threshold and
// writes the text unchanged as one record to the logger's sinks.
void hostEngineLogHandler(int severity, const std::string& text);

// Registration, once the verbosity is final: engine severity, handler, callback.
void registerEngineLogBridge(LogSeverity verbosity);

// Stops delivering engine lines and waits briefly for lines already inside the bridge.
// Registered with atexit by registerEngineLogBridge, so it runs before the logger and
// the sink are destroyed.
void closeEngineLogBridge();

}  // namespace zephrane
