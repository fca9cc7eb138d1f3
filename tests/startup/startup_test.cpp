// runStartup and its pieces in-process, linked to the engine test double, for what only
// shows in the InstanceSettings handed to the filter node.
#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <initializer_list>
#include <sstream>
#include <string>
#include <vector>

#include "engine_double.h"
#include "log.h"
#include "startup.h"

namespace zephrane {
namespace {

const char* const VARIABLES[] = {"STATE_DIR", "PROC_PORT", "HTTP_PORT", "HTTPS_PORT", "PROC_VERB"};

// getopt_long permutes and keeps pointers into argv, so each run gets its own copy.
class Arguments {
  public:
    Arguments(std::initializer_list<std::string> words) : words_{"zephrane-filter"} {
        words_.insert(words_.end(), words);
        for (std::string& word : words_) {
            pointers_.push_back(word.data());
        }
        pointers_.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words_.size()); }
    char** argv() { return pointers_.data(); }

  private:
    std::vector<std::string> words_;
    std::vector<char*> pointers_;
};

class Startup : public ::testing::Test {
  protected:
    void SetUp() override {
        for (const char* name : VARIABLES) {
            unsetenv(name);
        }
        zdouble_reset();
        optind = 0;  // full re-initialisation of getopt for every run
    }
    void TearDown() override { SetUp(); }

    InstanceSettings settingsFor(std::initializer_list<std::string> words) {
        Arguments arguments(words);
        ::testing::internal::CaptureStderr();
        StartupResult result = runStartup(arguments.argc(), arguments.argv());
        stderrText = ::testing::internal::GetCapturedStderr();
        EXPECT_TRUE(result.settings.has_value()) << stderrText;
        clientName = result.clientName;
        return result.settings.value_or(InstanceSettings{});
    }

    CommandLineOutcome readOptions(StartupConfig& config, std::initializer_list<std::string> words) {
        Arguments arguments(words);
        return readCommandLine(arguments.argc(), arguments.argv(), config, out, err);
    }

    std::string stderrText;
    std::string clientName;
    std::ostringstream out;
    std::ostringstream err;
};

TEST_F(Startup, NothingGivenGivesTheDefaults) {
    InstanceSettings settings = settingsFor({});
    EXPECT_EQ(settings.storagePath, std::filesystem::path("/usr/share/korvex/zephrane"));
    EXPECT_EQ(settings.jsonPort, 5010);
    EXPECT_EQ(settings.httpPort, 0u);
    EXPECT_EQ(settings.httpsPort, 0u);
    EXPECT_EQ(settings.stateName, "");
    EXPECT_FALSE(settings.storageReadOnly);
    EXPECT_FALSE(settings.stateReadOnly);
    EXPECT_TRUE(settings.parameters.empty());
    EXPECT_EQ(clientName, "");
    EXPECT_EQ(currentLogger->threshold, LOG_INFO);
    EXPECT_EQ(stderrText.find("ENV"), std::string::npos);
}

TEST_F(Startup, AnyPortSuppressesTheJsonDefault) {
    setenv("HTTP_PORT", "8080", 1);
    InstanceSettings settings = settingsFor({});
    EXPECT_EQ(settings.jsonPort, 0);
    EXPECT_EQ(settings.httpPort, 8080u);

    optind = 0;
    unsetenv("HTTP_PORT");
    settings = settingsFor({"--https=443"});
    EXPECT_EQ(settings.jsonPort, 0);
    EXPECT_EQ(settings.httpsPort, 443u);

    // A port that reads as 0 counts as not given.
    optind = 0;
    setenv("PROC_PORT", "abc", 1);
    settings = settingsFor({"-w", "x"});
    EXPECT_EQ(settings.jsonPort, 5010);
    EXPECT_EQ(settings.httpPort, 0u);
}

TEST_F(Startup, EnvironmentPortsUseStrtolAndTheirLowBits) {
    setenv("PROC_PORT", "70000", 1);
    setenv("HTTP_PORT", "-1", 1);
    setenv("HTTPS_PORT", "443abc", 1);
    InstanceSettings settings = settingsFor({});
    EXPECT_EQ(settings.jsonPort, 4464);
    EXPECT_EQ(settings.httpPort, 4294967295u);
    EXPECT_EQ(settings.httpsPort, 443u);

    // long is 32 bits on the target: strtol saturates there.
    optind = 0;
    setenv("PROC_PORT", "99999999999", 1);
    setenv("HTTP_PORT", "99999999999", 1);
    setenv("HTTPS_PORT", "-99999999999", 1);
    settings = settingsFor({});
    EXPECT_EQ(settings.jsonPort, 65535);
    EXPECT_EQ(settings.httpPort, 2147483647u);
    EXPECT_EQ(settings.httpsPort, 2147483648u);
}

TEST_F(Startup, OptionPortsUseStreamExtraction) {
    StartupConfig config;
    config.httpsPort = 7;
    ASSERT_EQ(readOptions(config, {"-j", "70000", "-w", " 42abc", "-s", ""}), CommandLineOutcome::proceed);
    EXPECT_EQ(config.jsonPort, 65535);  // saturates, unlike the environment's low bits
    EXPECT_EQ(config.httpPort, 42u);
    EXPECT_EQ(config.httpsPort, 7u);  // an empty argument leaves the value

    optind = 0;
    ASSERT_EQ(readOptions(config, {"--jsonport=port", "--http", "99999999999"}), CommandLineOutcome::proceed);
    EXPECT_EQ(config.jsonPort, 0);
    EXPECT_EQ(config.httpPort, 4294967295u);
}

TEST_F(Startup, EmptyStateDirIsAnEmptyPath) {
    setenv("STATE_DIR", "", 1);
    EXPECT_EQ(settingsFor({}).storagePath, std::filesystem::path());

    optind = 0;
    InstanceSettings settings = settingsFor({"-D", "/first", "--store", "/srv/zephrane/a"});
    EXPECT_EQ(settings.storagePath, std::filesystem::path("/srv/zephrane/a"));
    EXPECT_EQ(std::distance(settings.storagePath.begin(), settings.storagePath.end()), 4);
}

TEST_F(Startup, EveryOptionReachesTheSettings) {
    InstanceSettings settings = settingsFor({"-N",        "s1",    "--state=s2", "-O",   "air",        "-R",
                                             "--statero", "-a",    "gain=3=4",   "word", "-a",         "=5",
                                             "--param",   "gain=", "-m",         "k=v",  "--meta=k=w", "-C",
                                             "studio1",   "-j",    "6000"});
    EXPECT_EQ(settings.stateName, "s2");
    EXPECT_EQ(settings.onairName, "air");
    EXPECT_TRUE(settings.storageReadOnly);
    EXPECT_TRUE(settings.stateReadOnly);
    EXPECT_EQ(settings.parameters, (KeyValueList{{"gain", "3=4"}, {"", "5"}, {"gain", ""}}));
    EXPECT_EQ(settings.metadata, (KeyValueList{{"k", "v"}, {"k", "w"}}));
    EXPECT_EQ(settings.jsonPort, 6000);
    EXPECT_EQ(clientName, "studio1");
}

TEST_F(Startup, VerbosityIsTheThresholdAndTheEngineSeverity) {
    struct Case {
        const char* procVerb;  // null: unset
        std::initializer_list<std::string> arguments;
        LogSeverity verbosity;
    };
    for (const Case& c : {
             Case{nullptr, {}, LOG_INFO},
             Case{"", {}, LOG_INFO},
             Case{"-v", {}, LOG_VERB},
             Case{"-vv", {"-v", "--verbose"}, LOG_VERB4},
             Case{"-vvvvvv", {"-v"}, LOG_DEBUG},
             Case{nullptr, {"-vvvv", "-vvvv"}, LOG_DEBUG},
             Case{"vv", {"-v"}, LOG_VERB},
             Case{"-vvvvvvv", {}, LOG_INFO},
         }) {
        SCOPED_TRACE(c.procVerb ? c.procVerb : "(unset)");
        SetUp();
        if (c.procVerb) {
            setenv("PROC_VERB", c.procVerb, 1);
        }
        settingsFor(c.arguments);
        EXPECT_EQ(currentLogger->threshold, c.verbosity);
        std::vector<std::string> calls = zdouble_calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls[0], "zephrane_SetLogSeverity " + std::to_string(c.verbosity));
    }
}

}  // namespace
}  // namespace zephrane
