#include <gtest/gtest.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

#include "engine_double.h"
#include "instance_factory.h"
#include "log_capture.h"

namespace zephrane {
namespace {

using testing::LogCapture;

// The update loop reports its start on its own thread, racing the wait for it; the
// order of those two lines is the engine's business, so they are checked apart.
std::vector<std::string> callsWithoutUpdateLoopStart() {
    std::vector<std::string> calls = zdouble_calls();
    std::erase_if(calls, [](const std::string& c) { return c.rfind("zephrane_StartUpdateThread ", 0) == 0; });
    return calls;
}

size_t countCalls(const std::string& call) {
    std::vector<std::string> calls = zdouble_calls();
    return static_cast<size_t>(std::count(calls.begin(), calls.end(), call));
}

class InstanceFactory : public ::testing::Test {
  protected:
    void SetUp() override {
        zdouble_reset();
        zdouble_set("ZDOUBLE_POSSIBLE_SIZES", "16,32,48,64,128");
        settings.storagePath = "/var/lib/store";
        settings.jsonPort = 5011;
    }
    void TearDown() override {
        EXPECT_EQ(zdouble_update_loops_running(), 0);
        zdouble_reset();
    }

    LogCapture log;
    InstanceSettings settings;
};

TEST_F(InstanceFactory, CreatesInOrderAndTearsDownInReverse) {
    settings.stateName = "state.json";
    settings.onairName = "onair.json";
    settings.storageReadOnly = true;
    settings.stateReadOnly = true;
    settings.parameters = {{"GAIN", "3"}, {"MODE", "a=b"}};
    settings.metadata = {{"station", "one"}, {"genre", "talk"}};
    settings.httpPort = 8080;
    settings.httpsPort = 8443;

    std::shared_ptr<ProcessingInstance> instance = makeInstanceFactory(settings)(96);
    ASSERT_TRUE(instance);
    EXPECT_TRUE(instance->valid());
    EXPECT_TRUE(instance->updateThread.joinable());
    EXPECT_TRUE(instance->pendingMetadata.empty());
    EXPECT_EQ(countCalls("zephrane_StartUpdateThread p1 5011"), 1u);
    EXPECT_EQ(callsWithoutUpdateLoopStart(),
              (std::vector<std::string>{
                  "zephrane_GetPossibleChunkSizeInFrames", "zephrane_NewParameters",
                  "zephrane_SetParameter s1 STATE_FILENAME state.json",
                  "zephrane_SetParameter s1 STATE_ONAIR onair.json", "zephrane_SetParameter s1 STORAGE_RO 1",
                  "zephrane_SetParameter s1 STATE_RO 1", "zephrane_SetParameter s1 GAIN 3",
                  "zephrane_SetParameter s1 MODE a=b", "zephrane_InitProcess3 /var/lib/store s1 48",
                  "zephrane_SetMetadata p1 station one", "zephrane_SetMetadata p1 genre talk",
                  "zephrane_WaitUpdateThreadReady p1 5000", "zephrane_Webserver 8080 8443 p1",
                  "zephrane_Webserver_Status w1"}));
    std::vector<std::string> lines = log.lines();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "VERB3 Adding parameter MODE=a=b"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "VERB3 Adding metadata genre=talk"), lines.end());

    zdouble_reset();
    instance.reset();
    EXPECT_EQ(zdouble_calls(),
              (std::vector<std::string>{"zephrane_Webserver_Stop w1 1000", "zephrane_StopUpdateThread p1",
                                        "zephrane_ExitProcess p1", "zephrane_FreeParameters s1"}));
}

TEST_F(InstanceFactory, ShutdownStopsTheServicesAndLeavesTheParameterSet) {
    std::shared_ptr<ProcessingInstance> instance = makeInstanceFactory(settings)(64);
    ASSERT_TRUE(instance);
    EXPECT_EQ(instance->webserver, -1);
    zdouble_reset();
    instance->stop();
    EXPECT_EQ(zdouble_calls(),
              (std::vector<std::string>{"zephrane_StopUpdateThread p1", "zephrane_ExitProcess p1"}));
    EXPECT_FALSE(instance->valid());
    instance.reset();
    EXPECT_EQ(zdouble_calls().back(), "zephrane_FreeParameters s1");
    EXPECT_EQ(zdouble_calls().size(), 3u);
}

TEST_F(InstanceFactory, NoMemoryForParametersIsAnException) {
    zdouble_set("ZDOUBLE_NEW_PARAMETERS_FAIL", "1");
    EXPECT_THROW(createInstance(settings, 64), std::bad_alloc);
    EXPECT_EQ(countCalls("zephrane_InitProcess3 /var/lib/store 0 64"), 0u);
}

struct Failure {
    const char* name;
    std::vector<std::pair<const char*, const char*>> script;
    uint32_t httpPort;
    uint32_t httpsPort;
    const char* message;
    std::vector<std::string> teardown;  // calls after the failing one, in order
};

void PrintTo(const Failure& f, std::ostream* os) {
    *os << f.name;
}

class InstanceFactoryFailure : public InstanceFactory, public ::testing::WithParamInterface<Failure> {};

TEST_P(InstanceFactoryFailure, LogsFatalAndLeavesNothingRunning) {
    const Failure& f = GetParam();
    for (const auto& [key, value] : f.script) {
        zdouble_set(key, value);
    }
    settings.httpPort = f.httpPort;
    settings.httpsPort = f.httpsPort;
    EXPECT_FALSE(createInstance(settings, 64));
    EXPECT_EQ(log.count(std::string("FATAL ") + f.message), 1u);
    std::vector<std::string> calls = callsWithoutUpdateLoopStart();
    ASSERT_GE(calls.size(), f.teardown.size());
    EXPECT_EQ(std::vector<std::string>(calls.end() - static_cast<long>(f.teardown.size()), calls.end()),
              f.teardown);
}

const char* const A = "Error creating the process, aborting";
const char* const B = "Error starting web server, aborting";

INSTANTIATE_TEST_SUITE_P(
    Failures, InstanceFactoryFailure,
    ::testing::Values(
        Failure{"InitProcess",
                {{"ZDOUBLE_INIT_FAIL", "1"}},
                8080,
                0,
                A,
                {"zephrane_InitProcess3 /var/lib/store s1 64", "zephrane_FreeParameters s1"}},
        Failure{"UpdateLoop",
                {{"ZDOUBLE_READY_RESULT", "-1"}},
                8080,
                0,
                A,
                {"zephrane_WaitUpdateThreadReady p1 5000", "zephrane_StopUpdateThread p1",
                 "zephrane_ExitProcess p1", "zephrane_FreeParameters s1"}},
        Failure{"WebserverHandle",
                {{"ZDOUBLE_WEB_HANDLE", "-1"}},
                8080,
                8443,
                B,
                {"zephrane_Webserver 8080 8443 p1", "zephrane_StopUpdateThread p1", "zephrane_ExitProcess p1",
                 "zephrane_FreeParameters s1"}},
        Failure{"HttpsNotListening",
                {{"ZDOUBLE_WEB_STATUS", "1"}},
                8080,
                8443,
                B,
                {"zephrane_Webserver_Status w1", "zephrane_Webserver_Stop w1 1000",
                 "zephrane_StopUpdateThread p1", "zephrane_ExitProcess p1", "zephrane_FreeParameters s1"}},
        Failure{"HttpNotListening",
                {{"ZDOUBLE_WEB_STATUS", "2"}},
                8080,
                0,
                B,
                {"zephrane_Webserver_Status w1", "zephrane_Webserver_Stop w1 1000",
                 "zephrane_StopUpdateThread p1", "zephrane_ExitProcess p1", "zephrane_FreeParameters s1"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstanceFactory, AWebPortCountsOnlyWhenConfigured) {
    zdouble_set("ZDOUBLE_WEB_STATUS", "1");
    settings.httpPort = 8080;
    EXPECT_TRUE(createInstance(settings, 64));
    settings.httpPort = 0;
    settings.httpsPort = 8443;
    zdouble_set("ZDOUBLE_WEB_STATUS", "2");
    EXPECT_TRUE(createInstance(settings, 64));
    settings.httpsPort = 0;
    zdouble_reset();
    zdouble_set("ZDOUBLE_POSSIBLE_SIZES", "16,32,48,64,128");
    std::shared_ptr<ProcessingInstance> instance = createInstance(settings, 64);
    ASSERT_TRUE(instance);
    EXPECT_EQ(instance->webserver, -1);
    for (const std::string& call : zdouble_calls()) {
        EXPECT_EQ(call.rfind("zephrane_Webserver", 0), std::string::npos) << call;
    }
}

}  // namespace
}  // namespace zephrane
