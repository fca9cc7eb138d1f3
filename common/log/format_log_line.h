#pragma once

#include <string>

#include "log_record.h"

namespace zephrane {

// "YYYY-MM-DD hh:mm:ss.mmm SEVER message\n" in local time.
std::string formatLogLine(const LogRecord& record);

}  // namespace zephrane
