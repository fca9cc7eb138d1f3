#pragma once

#include "log.h"

namespace zephrane {

// Makes the process-wide colour console sink the process logger's only sink, at INFO.
Logger& installConsoleLogging();

}  // namespace zephrane
