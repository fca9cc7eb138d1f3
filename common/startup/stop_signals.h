#pragma once

namespace zephrane {

// The first thing a stop handler does: SIGABRT, SIGINT and SIGTERM get their default
// actions back, so a second signal, for instance during a slow shutdown, ends the process
// at once. Async-signal-safe.
void restoreDefaultStopSignals();

}  // namespace zephrane
