#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "color_console_sink.h"
#include "engine_log_bridge.h"
#include "format_log_line.h"
#include "log.h"

namespace zephrane {
namespace {

// A record made at a chosen moment, so lines can be compared byte for byte.
class RecordAt : public LogRecord {
public:
    RecordAt(LogSeverity severity, time_t seconds, suseconds_t micros, const char* function = "")
        : LogRecord(severity, function, 0, "", 0) {
        at_.tv_sec = seconds;
        at_.tv_usec = micros;
    }
    timeval time() const override { return at_; }

private:
    timeval at_{};
};

time_t utc(int year, int month, int day, int hour, int minute, int second) {
    tm t{};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    return timegm(&t);
}

// Keeps every record's line, as a sink would print it.
class CapturingSink : public LogSink {
public:
    void write(const LogRecord& record) override {
        lines.push_back(record.message());
        severities.push_back(record.severity());
        times.push_back(record.time());
    }
    std::vector<std::string> lines;
    std::vector<int> severities;
    std::vector<timeval> times;
};

class LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
        logger.addSink(&sink);
    }
    Logger logger{LOG_INFO};
    CapturingSink sink;
};

TEST_F(LogTest, LineLayoutIsByteExact) {
    time_t at = utc(2026, 3, 5, 9, 7, 2);
    RecordAt info(LOG_INFO, at, 4512);
    info.stream() << "hello";
    EXPECT_EQ(formatLogLine(info), "2026-03-05 09:07:02.004 INFO  hello\n");

    RecordAt error(LOG_ERROR, at, 4512);
    error.stream() << "hello";
    EXPECT_EQ(formatLogLine(error), "2026-03-05 09:07:02.004 ERROR hello\n");

    RecordAt lastMilli(LOG_WARN, at, 999999);
    EXPECT_EQ(formatLogLine(lastMilli), "2026-03-05 09:07:02.999 WARN  \n");
    RecordAt truncated(LOG_WARN, at, 500);
    EXPECT_EQ(formatLogLine(truncated), "2026-03-05 09:07:02.000 WARN  \n");

    RecordAt midnight(LOG_VERB5, utc(2027, 1, 1, 0, 0, 0), 0);
    midnight.stream() << "two\nlines";
    EXPECT_EQ(formatLogLine(midnight), "2027-01-01 00:00:00.000 VERB5 two\nlines\n");
}

TEST_F(LogTest, SeverityNamesOutsideTheRangePrintAsNone) {
    EXPECT_STREQ(severityName(0), "NONE");
    EXPECT_STREQ(severityName(11), "NONE");
    EXPECT_STREQ(severityName(-3), "NONE");
    EXPECT_STREQ(severityName(LOG_VERB2), "VERB2");
    RecordAt record(42, utc(2026, 1, 2, 3, 4, 5), 0);
    record.stream() << "x";
    EXPECT_EQ(formatLogLine(record), "2026-01-02 03:04:05.000 NONE  x\n");
}

TEST_F(LogTest, ThresholdGatesStatementsWithoutEvaluatingPieces) {
    int evaluated = 0;
    auto piece = [&evaluated] {
        ++evaluated;
        return 7;
    };
    ZLOG(LOG_VERB) << "hidden " << piece();
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(sink.lines.empty());

    ZLOG(LOG_INFO) << "shown " << piece() << ' ' << 2.5 << ' ' << 1.0 / 3;
    ZLOG(LOG_NONE) << "always";
    EXPECT_EQ(evaluated, 1);
    ASSERT_EQ(sink.lines.size(), 2u);
    EXPECT_EQ(sink.lines[0], "shown 7 2.5 0.333333");
    EXPECT_EQ(sink.lines[1], "always");

    logger.threshold = LOG_DEBUG;
    ZLOG(LOG_DEBUG) << "debug";
    ZLOG(11) << "beyond";
    EXPECT_EQ(sink.lines.size(), 3u);
}

TEST_F(LogTest, NoLoggerMeansSilence) {
    Logger* saved = currentLogger;
    currentLogger = nullptr;
    int evaluated = 0;
    ZLOG(LOG_FATAL) << [&evaluated] { return ++evaluated; }();
    currentLogger = saved;
    EXPECT_EQ(evaluated, 0);
    EXPECT_TRUE(sink.lines.empty());
}

TEST_F(LogTest, TimeIsTakenBeforeThePieces) {
    timeval pieceTime{};
    auto slowPiece = [&pieceTime] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        gettimeofday(&pieceTime, nullptr);
        return "late";
    };
    ZLOG(LOG_WARN) << slowPiece();
    ASSERT_EQ(sink.times.size(), 1u);
    long long recordMicros = sink.times[0].tv_sec * 1000000LL + sink.times[0].tv_usec;
    long long pieceMicros = pieceTime.tv_sec * 1000000LL + pieceTime.tv_usec;
    EXPECT_GE(pieceMicros - recordMicros, 15000);
}

TEST_F(LogTest, NullCStringPrintsAsNull) {
    const char* nothing = nullptr;
    char* alsoNothing = nullptr;
    ZLOG(LOG_INFO) << "a" << nothing << "b" << alsoNothing;
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_EQ(sink.lines[0], "a(null)b(null)");
}

TEST_F(LogTest, LoggerWriteFiltersButStatementsDoNotTestAgain) {
    RecordAt verbose(LOG_VERB, 0, 0);
    logger.write(verbose);
    EXPECT_TRUE(sink.lines.empty());
    RecordAt fatal(LOG_FATAL, 0, 0);
    logger.write(fatal);
    EXPECT_EQ(sink.lines.size(), 1u);
}

TEST(LogRecordTest, FunctionNameIsCutFromTheSignature) {
    EXPECT_STREQ(RecordAt(LOG_INFO, 0, 0, "int main(int, char**)").functionName(), "main");
    EXPECT_STREQ(RecordAt(LOG_INFO, 0, 0, "run(void)").functionName(), "run");
    EXPECT_STREQ(RecordAt(LOG_INFO, 0, 0, "plain").functionName(), "plain");
    EXPECT_STREQ(RecordAt(LOG_INFO, 0, 0, "").functionName(), "");
    EXPECT_STREQ(RecordAt(LOG_INFO, 0, 0, "static void ns::A::f(int x)").functionName(), "ns::A::f");
}

TEST(LogRecordTest, MessageGrowsWithLaterInsertions) {
    RecordAt record(LOG_INFO, 0, 0);
    record.stream() << "ab";
    EXPECT_STREQ(record.message(), "ab");
    record.stream() << "cd";
    EXPECT_STREQ(record.message(), "abcd");
    EXPECT_EQ(record.threadId(), currentThreadId());
}

class ConsoleSinkTest : public ::testing::Test {
protected:
    void SetUp() override {
        setenv("TZ", "UTC", 1);
        tzset();
    }
    static std::string line(LogSeverity severity) {
        RecordAt record(severity, 0, 0);
        record.stream() << "m";
        return formatLogLine(record);
    }
    static void written(ConsoleSink& sink, LogSeverity severity) {
        RecordAt record(severity, 0, 0);
        record.stream() << "m";
        sink.write(record);
    }
};

TEST_F(ConsoleSinkTest, ColoursOnlyOnATerminal) {
    std::ostringstream terminal;
    ColorConsoleSink coloured(terminal, true);
    written(coloured, LOG_WARN);
    EXPECT_EQ(terminal.str(), "\x1b[93m" + line(LOG_WARN) + "\x1b[0m\x1b[0K");

    terminal.str("");
    written(coloured, LOG_FATAL);
    EXPECT_EQ(terminal.str(), "\x1b[97m\x1b[41m" + line(LOG_FATAL) + "\x1b[0m\x1b[0K");

    terminal.str("");
    written(coloured, LOG_NONE);
    EXPECT_EQ(terminal.str(), line(LOG_NONE) + "\x1b[0m\x1b[0K");

    std::ostringstream pipe;
    ColorConsoleSink plainColour(pipe, false);
    ConsoleSink plain(pipe, true);
    for (LogSeverity severity = 0; severity <= 11; ++severity) {
        written(plainColour, severity);
    }
    EXPECT_EQ(pipe.str().find('\x1b'), std::string::npos);
    pipe.str("");
    written(plain, LOG_ERROR);
    EXPECT_EQ(pipe.str(), line(LOG_ERROR));
}

TEST_F(ConsoleSinkTest, LinesFromManyThreadsStayWholeWithTheirColours) {
    std::ostringstream out;
    ColorConsoleSink sink(out, true);
    Logger logger(LOG_DEBUG);
    logger.addSink(&sink);
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 200; ++i) {
                ZLOG(t) << "thread " << t << " line " << i << " " << std::string(40, char('a' + t));
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    std::istringstream lines(out.str());
    std::string text;
    int count = 0;
    while (std::getline(lines, text)) {
        if (count > 0) {
            ASSERT_EQ(text.rfind("\x1b[0m\x1b[0K", 0), 0u) << text;
            text = text.substr(8);
        }
        if (text.empty()) {
            break;  // the last reset stands alone after the final line feed
        }
        size_t at = text.find("thread ");
        ASSERT_NE(at, std::string::npos) << text;
        int t = text[at + 7] - '0';
        EXPECT_EQ(text.rfind(severityColour(t), 0), 0u) << text;
        EXPECT_EQ(text.substr(text.size() - 40), std::string(40, char('a' + t)));
        ++count;
    }
    EXPECT_EQ(count, 800);
}

class EngineBridgeTest : public LogTest {
protected:
    void SetUp() override {
        LogTest::SetUp();
        engineLogHandler = hostEngineLogHandler;
    }
    void TearDown() override { engineLogHandler = nullptr; }
};

TEST_F(EngineBridgeTest, FiltersByThresholdAndNeverShowsEngineDebug) {
    for (int severity = 1; severity <= 10; ++severity) {
        engineLogBridge(severity, "engine");
    }
    EXPECT_EQ(sink.severities, (std::vector<int>{1, 2, 3, 4}));

    sink.severities.clear();
    logger.threshold = LOG_DEBUG;
    for (int severity = 1; severity <= 10; ++severity) {
        engineLogBridge(severity, "engine");
    }
    EXPECT_EQ(sink.severities, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
}

TEST_F(EngineBridgeTest, TextArrivesUnchangedAndNullIsEmpty) {
    engineLogBridge(LOG_WARN, "ends with a line feed\n");
    engineLogBridge(LOG_WARN, "");
    engineLogBridge(LOG_WARN, nullptr);
    engineLogBridge(0, "severity zero passes");
    ASSERT_EQ(sink.lines.size(), 4u);
    EXPECT_EQ(sink.lines[0], "ends with a line feed\n");
    EXPECT_EQ(sink.lines[1], "");
    EXPECT_EQ(sink.lines[2], "");
    EXPECT_EQ(sink.severities[3], 0);
}

TEST_F(EngineBridgeTest, NothingIsThrownBackIntoTheEngine) {
    engineLogHandler = [](int, const std::string&) { throw std::runtime_error("handler failed"); };
    EXPECT_NO_THROW(engineLogBridge(LOG_ERROR, "x"));
    engineLogHandler = nullptr;
    EXPECT_NO_THROW(engineLogBridge(LOG_ERROR, "no handler"));
}

TEST_F(EngineBridgeTest, LinesAreRecordedOnTheReportingThread) {
    int reporter = 0;
    std::thread engineThread([&reporter] {
        reporter = currentThreadId();
        engineLogBridge(LOG_INFO, "from the engine");
    });
    engineThread.join();
    ASSERT_EQ(sink.lines.size(), 1u);
    EXPECT_NE(reporter, currentThreadId());
}

// Declared last: once closed, the bridge stays closed for the rest of the process.
TEST_F(EngineBridgeTest, ClosedBridgeDropsLinesAtExit) {
    closeEngineLogBridge();
    engineLogBridge(LOG_FATAL, "after exit began");
    EXPECT_TRUE(sink.lines.empty());
}

}  // namespace
}  // namespace zephrane
