// The cost of a log statement below the threshold (a pointer test and a compare) and of
// one that is formatted and written to a console sink on /dev/null.
#include <benchmark/benchmark.h>

#include <fstream>

#include "console_sink.h"
#include "log.h"

namespace zephrane {
namespace {

void statementBelowThreshold(benchmark::State& state) {
    Logger logger(LOG_INFO);
    int value = 42;
    for (auto _ : state) {
        ZLOG(LOG_VERB3) << "Adding parameter " << value;
        benchmark::ClobberMemory();
    }
}
BENCHMARK(statementBelowThreshold);

void statementWrittenToDevNull(benchmark::State& state) {
    std::ofstream devNull("/dev/null");
    ConsoleSink sink(devNull, false);
    Logger logger(LOG_INFO);
    logger.addSink(&sink);
    int value = 42;
    for (auto _ : state) {
        ZLOG(LOG_INFO) << "Process frames = " << value;
    }
}
BENCHMARK(statementWrittenToDevNull);

}  // namespace
}  // namespace zephrane

BENCHMARK_MAIN();
