#include "format_log_line.h"

#include <ctime>
#include <iomanip>

namespace zephrane {

std::string formatLogLine(const LogRecord& record) {
    timeval time = record.time();
    time_t seconds = time.tv_sec;
    tm local{};
    localtime_r(&seconds, &local);

    std::ostringstream line;
    line << (local.tm_year + 1900) << '-' << std::setfill('0') << std::setw(2) << (local.tm_mon + 1) << '-'
         << std::setw(2) << local.tm_mday << ' ' << std::setw(2) << local.tm_hour << ':' << std::setw(2)
         << local.tm_min << ':' << std::setw(2) << local.tm_sec << '.' << std::setw(3) << (time.tv_usec / 1000)
         << ' ' << std::setfill(' ') << std::left << std::setw(5) << severityName(record.severity()) << ' '
         << record.message() << '\n';
    return line.str();
}

}  // namespace zephrane
