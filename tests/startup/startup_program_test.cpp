// zephrane-filter run as a child process against the engine test double. Runs that get
// past start-up point PipeWire at a socket that does not exist, so the program either
// ends after start-up or with "can't connect" (255), never stays in the graph.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "child_process.h"

namespace {

using zephrane::testing::ChildResult;
using zephrane::testing::Environment;
using zephrane::testing::logLineBody;
using zephrane::testing::readFile;
using zephrane::testing::runChild;
using zephrane::testing::splitLines;
using zephrane::testing::TempDir;

const std::string PROGRAM = ZEPHRANE_FILTER_PROGRAM;
const std::string VERSION_LINE = "KORVEX ZEPHRANE.QX Version 9.9.9-double";

class HostProgram : public ::testing::Test {
  protected:
    HostProgram() : env(zephrane::testing::doubleEnvironment(ZEPHRANE_DOUBLE_DIR)) {
        env["ZDOUBLE_CALL_LOG"] = dir.file("calls");
        env["PIPEWIRE_REMOTE"] = dir.file("no-pipewire-here");
        env["XDG_RUNTIME_DIR"] = dir.path();
        // After "can't connect" the PipeWire objects are left to process exit by design;
        // the in-process start-up tests keep the leak check.
        std::string& asanOptions = env["ASAN_OPTIONS"];
        asanOptions += asanOptions.empty() ? "detect_leaks=0" : ":detect_leaks=0";
    }

    ChildResult run(const std::vector<std::string>& arguments) {
        ChildResult result = runChild(PROGRAM, arguments, env);
        EXPECT_FALSE(result.timedOut) << "zephrane-filter did not end";
        return result;
    }

    // The recorded engine calls, without the double's own "#" lines.
    std::vector<std::string> calls() const {
        std::vector<std::string> lines = splitLines(readFile(dir.file("calls")));
        lines.erase(std::remove_if(lines.begin(), lines.end(),
                                   [](const std::string& line) { return !line.empty() && line[0] == '#'; }),
                    lines.end());
        return lines;
    }

    // The log lines with date and time checked and cut off.
    static std::vector<std::string> logLines(const ChildResult& result) {
        std::vector<std::string> lines;
        for (const std::string& line : splitLines(result.err)) {
            if (std::optional<std::string> body = logLineBody(line)) {
                lines.push_back(*body);
            }
        }
        return lines;
    }

    TempDir dir;
    Environment env;
};

// Ended after a complete start-up: the filter node stub returns 0, the real node cannot
// reach PipeWire and returns 255.
void expectPassedStartup(const ChildResult& result) {
    EXPECT_TRUE(result.status == 0 || result.status == 255) << "status " << result.status << "\n"
                                                            << result.err;
    EXPECT_EQ(result.err.find("Bad library"), std::string::npos);
}

std::vector<std::string> expectedHelp(const std::string& procVerb, const std::string& json,
                                      const std::string& store, const std::string& http,
                                      const std::string& https, const std::string& name) {
    return {
        VERSION_LINE,
        PROGRAM + " [-v] [-j json_port]",
        "  -C, --name=pw_name            PipeWire client name (current:" + name + ")",
        "  -v, --verbose                 Increase verbose level (default PROC_VERB=" + procVerb + ")",
        "  -j, --jsonport=port           Port for TCP JSON (default: PROC_PORT=" + json + ")",
        "  -D, --store=storepath         Storage path (default: STATE_DIR=" + store + ")",
        "  -N, --state=statename         Storage state filename, if sharing storepath between instances",
        "  -O, --onair=onairname         Storage onair filename, if sharing storepath between instances",
        "  -a, --param=key=value         Add parameter",
        "  -m, --meta=key=value          Add metadata",
        "  -R, --storero                 Storage is read-only",
        "  -r, --statero                 Storage state is read-only",
        "  -w, --http=http_port          Port to listen for HTTP (current:" + http + ")",
        "  -s, --https=https_port        Port to listen for HTTPS (current:" + https + ")",
        "",
        "Information",
        "  -V, --version                 Show version",
        "  -h, --help                    This help",
        "",
        "To JSON: rlwrap telnet 0 " + json,
        "      {\"get\":null}                 gets full config",
        "      {\"change\":null}              gets only changes",
        "      {\"set\":{\"in\":{\"gain\":-30}}}  set the gain to -30 dB",
        "",
        "Web login:",
        "  You can define in ENV the variable SETUP_USER or ADMIN_USER, or login will be disabled.",
        "  You can define in ENV the variable SETUP_SECRET or ADMIN_SECRET, or one will be randomly "
        "generated "
        "and print in logs.",
        "Other environment variables:",
        "    + STATE_DIR            : the directory to save the state",
        "    + SSL_CERTIFICATE_PATH : path to the SSL public certificate",
        "    + SSL_PRIVATE_PATH     : path to the SSL private certificate",
    };
}

std::string joinLines(const std::vector<std::string>& lines) {
    std::string text;
    for (const std::string& line : lines) {
        text += line + "\n";
    }
    return text;
}

TEST_F(HostProgram, HelpShowsDefaultsAndTouchesOnlyTheVersion) {
    ChildResult result = run({"-h"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, joinLines(expectedHelp("", "0", "/usr/share/korvex/zephrane", "0", "0", "")));
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(calls(), std::vector<std::string>{"zephrane_GetVersion"});
}

TEST_F(HostProgram, HelpShowsValuesInForceWhenMet) {
    env["PROC_VERB"] = "-vv";
    env["PROC_PORT"] = "70000";
    env["STATE_DIR"] = "";
    env["HTTPS_PORT"] = "8443";
    ChildResult result = run({"-C", "studio1", "--http=81", "-j", "6000", "--help", "-s", "9", "-x"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, joinLines(expectedHelp("-vv", "6000", "", "81", "8443", "studio1")));

    result = run({"-h", "-j", "6000"});
    EXPECT_EQ(splitLines(result.out).at(4), expectedHelp("", "4464", "", "", "", "").at(4));
    EXPECT_EQ(splitLines(result.out).at(19), "To JSON: rlwrap telnet 0 4464");
}

TEST_F(HostProgram, VersionLineAndNothingAfterIt) {
    ChildResult result = run({"-V", "--bogus"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, VERSION_LINE + "\n");
    EXPECT_EQ(result.err, "");

    env["ZDOUBLE_VERSION"] = "2.0 rc1";
    result = run({"--version"});
    EXPECT_EQ(result.out, "KORVEX ZEPHRANE.QX Version 2.0 rc1\n");

    env["ZDOUBLE_VERSION_NULL"] = "1";
    result = run({"-V"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "KORVEX ZEPHRANE.QX Version \n");
}

TEST_F(HostProgram, OptionErrorsEndWithStatusOne) {
    struct Case {
        std::vector<std::string> arguments;
        std::string lastLine;
    };
    for (const Case& c : std::vector<Case>{
             {{"-x"}, " option x is unknown"},
             {{"-v", "-j"}, " option j is unknown"},
             {{"--bogus"}, " option  is unknown"},
             {{"-a", "gain=1", "-a", "gain"}, " option a needs key=value format"},
             {{"--meta", "nokey"}, " option m needs key=value format"},
         }) {
        SCOPED_TRACE(c.arguments.back());
        ChildResult result = run(c.arguments);
        EXPECT_EQ(result.status, 1);
        EXPECT_EQ(result.out, "");
        std::vector<std::string> lines = splitLines(result.err);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.back(), c.lastLine);
        EXPECT_EQ(result.err.back(), '\n');
        EXPECT_TRUE(calls().empty()) << "engine touched before the command line was accepted";
    }
    // getopt_long's own diagnostic comes first.
    ChildResult result = run({"-x"});
    EXPECT_EQ(splitLines(result.err).size(), 2u);
    EXPECT_NE(result.err.find("invalid option -- 'x'"), std::string::npos);
}

TEST_F(HostProgram, EngineCallsInStartupOrder) {
    ChildResult result = run({});
    expectPassedStartup(result);
    std::vector<std::string> recorded = calls();
    std::vector<std::string> expected{
        "zephrane_SetLogSeverity 4",   "zephrane_SetLoggerCallback fn", "zephrane_GetVersion",
        "zephrane_GetSampleRate",      "zephrane_GetChunkSizeInFrames", "zephrane_GetChannelCount",
        "zephrane_GetAudioInputCount", "zephrane_GetAudioOutputCount",
    };
    ASSERT_GE(recorded.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(recorded.begin(), recorded.begin() + expected.size()), expected);
    EXPECT_EQ(logLines(result).at(0), "INFO  " + VERSION_LINE);
}

TEST_F(HostProgram, EnvironmentLinesWaitForTheVerbosity) {
    env["HTTP_PORT"] = "8080";
    ChildResult quiet = run({"-v"});
    expectPassedStartup(quiet);
    EXPECT_EQ(quiet.err.find("ENV "), std::string::npos);

    env["PROC_PORT"] = " 70000x";
    env["HTTPS_PORT"] = "abc";
    env["PROC_VERB"] = "-vv";
    ChildResult shown = run({});
    expectPassedStartup(shown);
    std::vector<std::string> lines = logLines(shown);
    ASSERT_GE(lines.size(), 5u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{"INFO  " + VERSION_LINE, "VERB2 ENV proc port  70000x",
                                        "VERB2 ENV http port 8080", "VERB2 ENV https port abc",
                                        "VERB2 ENV PROC_VERB -vv"}));
}

struct PropertyCase {
    const char* key;
    const char* value;
    const char* message;
    const char* lastCall;
};

class HostPropertyCheck : public HostProgram, public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(HostPropertyCheck, MismatchEndsTheRunBeforeTheNode) {
    const PropertyCase& c = GetParam();
    env[c.key] = c.value;
    ChildResult result = run({});
    EXPECT_EQ(result.status, 1);
    std::vector<std::string> lines = logLines(result);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), std::string("ERROR ") + c.message);
    EXPECT_EQ(result.err.find("can't connect"), std::string::npos);
    std::vector<std::string> recorded = calls();
    ASSERT_FALSE(recorded.empty());
    EXPECT_EQ(recorded.back(), c.lastCall) << "checks after the first mismatch were made";
}

INSTANTIATE_TEST_SUITE_P(
    EachProperty, HostPropertyCheck,
    ::testing::Values(
        PropertyCase{"ZDOUBLE_SAMPLE_RATE", "44100", "Bad library sampling rate", "zephrane_GetSampleRate"},
        PropertyCase{"ZDOUBLE_CHUNK_SIZE", "16", "Bad library frame size", "zephrane_GetChunkSizeInFrames"},
        PropertyCase{"ZDOUBLE_CHANNELS", "2", "Bad library channel count", "zephrane_GetChannelCount"},
        PropertyCase{"ZDOUBLE_INPUTS", "0", "Bad library input count", "zephrane_GetAudioInputCount"},
        PropertyCase{"ZDOUBLE_OUTPUTS", "2", "Bad library output count", "zephrane_GetAudioOutputCount"}));

TEST_F(HostProgram, AMalformedLinkEntryEndsTheRunWithStatusOneAndTheEntryQuoted) {
    env["LINK_INPUT"] = "zt-client:out";
    env["LINK_OUTPUT"] = "sink:playback_FL, sink:";
    ChildResult result = run({});
    EXPECT_EQ(result.status, 1);
    std::vector<std::string> lines = logLines(result);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "ERROR LINK_OUTPUT entry \" sink:\" is not a port (node:port or node)");
    EXPECT_EQ(result.err.find("can't connect"), std::string::npos);

    env["LINK_OUTPUT"] = "";
    env["LINK_INPUT"] = "tone:out,,tone:out2";
    result = run({});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(logLines(result).back(), "ERROR LINK_INPUT entry \"\" is not a port (node:port or node)");

    // Well-formed entries pass; help and version do not look at them.
    env["LINK_INPUT"] = "tone:out, tone";
    expectPassedStartup(run({}));
    env["LINK_INPUT"] = ":";
    EXPECT_EQ(run({"-V"}).status, 0);
}

TEST_F(HostProgram, EngineLinesFilteredByVerbosityNeverDebug) {
    env["ZDOUBLE_LOG_LINES"] = "1:e1|2:e2|3:e3|4:e4|5:e5|6:e6|7:e7|8:e8|9:e9|10:e10";
    auto engineLines = [](const ChildResult& result) {
        std::vector<std::string> found;
        for (const std::string& line : logLines(result)) {
            if (line.find(" e") == 5) {
                found.push_back(line);
            }
        }
        return found;
    };
    ChildResult info = run({});
    expectPassedStartup(info);
    EXPECT_EQ(engineLines(info), (std::vector<std::string>{"FATAL e1", "ERROR e2", "WARN  e3", "INFO  e4"}));

    ChildResult debug = run({"-vvvvvv"});
    expectPassedStartup(debug);
    EXPECT_EQ(engineLines(debug),
              (std::vector<std::string>{"FATAL e1", "ERROR e2", "WARN  e3", "INFO  e4", "VERB  e5",
                                        "VERB2 e6", "VERB3 e7", "VERB4 e8", "VERB5 e9"}));
}

TEST_F(HostProgram, EngineTextsAreWrittenUnchanged) {
    env["ZDOUBLE_LOG_LINES"] = "3:ends with line feed\\n|4:|2: spaced ";
    ChildResult result = run({});
    expectPassedStartup(result);
    std::vector<std::string> lines = splitLines(result.err);
    ASSERT_GE(lines.size(), 4u);
    EXPECT_EQ(logLineBody(lines[0]), "WARN  ends with line feed");
    EXPECT_EQ(lines[1], "");
    EXPECT_EQ(logLineBody(lines[2]), "INFO  ");
    EXPECT_EQ(logLineBody(lines[3]), "ERROR  spaced ");
}

TEST_F(HostProgram, LogLinesHaveTheFixedLayoutAndNoColourOnAPipe) {
    env["PROC_VERB"] = "bad";
    env["ZDOUBLE_SAMPLE_RATE"] = "1";
    ChildResult result = run({"-vv"});
    EXPECT_EQ(result.err.find('\x1b'), std::string::npos);
    std::vector<std::string> lines = splitLines(result.err);
    ASSERT_EQ(lines.size(), 4u) << result.err;
    EXPECT_EQ(logLineBody(lines[0]), "WARN  ENV PROC_VERB unknown bad");
    EXPECT_EQ(logLineBody(lines[1]), "INFO  " + VERSION_LINE);
    EXPECT_EQ(logLineBody(lines[2]), "VERB2 ENV PROC_VERB bad");
    EXPECT_EQ(logLineBody(lines[3]), "ERROR Bad library sampling rate");
    EXPECT_EQ(result.err.back(), '\n');
}

TEST(HostBinary, NeedsTheEngineLibraryBySoname) {
    FILE* pipe = popen(("readelf -d '" + PROGRAM + "'").c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    std::string output;
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe)) {
        output += buffer;
    }
    ASSERT_EQ(pclose(pipe), 0);
    EXPECT_NE(output.find("(NEEDED)             Shared library: [libkorvex.zephrane.qx.so]"),
              std::string::npos)
        << output;
}

}  // namespace
