// The double is what every host test trusts, so its scripting and recording are checked
// here once.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "engine_double.h"
#include "zephrane_engine.h"

namespace {

class EngineDouble : public ::testing::Test {
  protected:
    void SetUp() override { zdouble_reset(); }
    void TearDown() override { zdouble_reset(); }
};

std::vector<std::pair<int, std::string>> receivedLines;
void collectLine(int severity, const char* text) {
    receivedLines.emplace_back(severity, text);
}

TEST_F(EngineDouble, PropertiesDefaultAndScripted) {
    EXPECT_EQ(zephrane_GetSampleRate(), 48000);
    EXPECT_EQ(zephrane_GetChunkSizeInFrames(), 12);
    EXPECT_EQ(zephrane_GetChannelCount(), 1);
    EXPECT_EQ(zephrane_GetAudioInputCount(), 1);
    EXPECT_EQ(zephrane_GetAudioOutputCount(), 1);
    zdouble_set("ZDOUBLE_SAMPLE_RATE", "44100");
    zdouble_set("ZDOUBLE_OUTPUTS", "2");
    zdouble_set("ZDOUBLE_VERSION", "1.2 beta");
    EXPECT_EQ(zephrane_GetSampleRate(), 44100);
    EXPECT_EQ(zephrane_GetAudioOutputCount(), 2);
    EXPECT_STREQ(zephrane_GetVersion(), "1.2 beta");
    zdouble_set("ZDOUBLE_VERSION_NULL", "1");
    EXPECT_EQ(zephrane_GetVersion(), nullptr);

    zdouble_set("ZDOUBLE_POSSIBLE_SIZES", "16, 32,48");
    const uint32_t* sizes = zephrane_GetPossibleChunkSizeInFrames();
    EXPECT_EQ(std::vector<uint32_t>(sizes, sizes + 4), (std::vector<uint32_t>{16, 32, 48, 0}));
    zdouble_set("ZDOUBLE_POSSIBLE_SIZES", "");
    EXPECT_EQ(zephrane_GetPossibleChunkSizeInFrames()[0], 0u);
}

TEST_F(EngineDouble, ControlFileOverridesEnvironmentAndIsReread) {
    char path[] = "/tmp/zdouble_controlXXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    setenv("ZDOUBLE_WEB_STATUS", "1", 1);
    zdouble_set("ZDOUBLE_CONTROL_FILE", path);
    EXPECT_EQ(zephrane_Webserver_Status(1), 1);
    std::ofstream(path) << "# comment\nZDOUBLE_WEB_STATUS=2\n";
    EXPECT_EQ(zephrane_Webserver_Status(1), 2);
    zdouble_set("ZDOUBLE_WEB_STATUS", "0");  // in-process beats both
    EXPECT_EQ(zephrane_Webserver_Status(1), 0);
    unsetenv("ZDOUBLE_WEB_STATUS");
    std::remove(path);
}

TEST_F(EngineDouble, RecordsCallsWithHandlesInOrder) {
    ZephraneParametersHandle parameters = zephrane_NewParameters();
    zephrane_SetParameter(parameters, "STATE_FILENAME", "a b");
    ZephraneProcessHandle process = zephrane_InitProcess3("/var/x", parameters, 64);
    zephrane_SetMetadata(process, "k", nullptr);
    ZephraneWebserverHandle web = zephrane_Webserver(8080, 0, process);
    zephrane_Webserver_Stop(web, 1000);
    zephrane_Webserver_Status(web);
    zephrane_ExitProcess(process);
    zephrane_FreeParameters(parameters);
    zephrane_FreeParameters(parameters);
    EXPECT_EQ(zdouble_calls(), (std::vector<std::string>{
                                   "zephrane_NewParameters",
                                   "zephrane_SetParameter s1 STATE_FILENAME a b",
                                   "zephrane_InitProcess3 /var/x s1 64",
                                   "zephrane_SetMetadata p1 k (null)",
                                   "zephrane_Webserver 8080 0 p1",
                                   "zephrane_Webserver_Stop w1 1000",
                                   "zephrane_Webserver_Status w1(freed)",
                                   "zephrane_ExitProcess p1",
                                   "zephrane_FreeParameters s1",
                                   "zephrane_FreeParameters s1(freed)",
                               }));
}

TEST_F(EngineDouble, FailuresOnRequest) {
    zdouble_set("ZDOUBLE_NEW_PARAMETERS_FAIL", "1");
    zdouble_set("ZDOUBLE_INIT_FAIL", "1");
    zdouble_set("ZDOUBLE_WEB_HANDLE", "-1");
    zdouble_set("ZDOUBLE_WEB_STOP_RESULT", "7");
    EXPECT_EQ(zephrane_NewParameters(), nullptr);
    EXPECT_EQ(zephrane_InitProcess3("/x", nullptr, 12), nullptr);
    EXPECT_EQ(zephrane_Webserver_tcp2(1, 2, "h", 3, nullptr), -1);
    EXPECT_EQ(zephrane_Webserver_Stop(-1, 5000), 7);
    EXPECT_EQ(zdouble_calls().back(), "zephrane_Webserver_Stop -1 5000");
}

TEST_F(EngineDouble, UpdateLoopBlocksUntilStopped) {
    ZephraneProcessHandle process = zephrane_InitProcess3("/x", nullptr, 12);
    std::thread loop([process] { zephrane_StartUpdateThread(process, 5010); });
    EXPECT_EQ(zephrane_WaitUpdateThreadReady(process, 5000), 0);
    EXPECT_EQ(zdouble_update_loops_running(), 1);
    zephrane_StopUpdateThread(process);
    loop.join();
    EXPECT_EQ(zdouble_update_loops_running(), 0);

    ZephraneProcessHandle idle = zephrane_InitProcess3("/x", nullptr, 12);
    EXPECT_EQ(zephrane_WaitUpdateThreadReady(idle, 10), -1);
    zdouble_set("ZDOUBLE_READY_RESULT", "-3");
    EXPECT_EQ(zephrane_WaitUpdateThreadReady(idle, 10), -3);
}

TEST_F(EngineDouble, ProcessingAppliesGainAndIsCountedNotRecorded) {
    zdouble_set("ZDOUBLE_GAIN", "2");
    ZephraneProcessHandle process = zephrane_InitProcess3("/x", nullptr, 4);
    size_t recorded = zdouble_calls().size();
    float in[5] = {1, 2, 3, 4, 5};
    float out[5] = {};
    const float* inputs[] = {in};
    float* outputs[] = {out};
    EXPECT_EQ(zephrane_GetProcessChunkFrames(process), 4u);
    EXPECT_EQ(zephrane_ProcessAudio_Planar(process, inputs, outputs), 0);
    EXPECT_EQ(std::vector<float>(out, out + 5), (std::vector<float>{2, 4, 6, 8, 0}));
    EXPECT_EQ(zdouble_process_call_count(), 1u);
    EXPECT_EQ(zdouble_chunk_frames_call_count(), 1u);
    EXPECT_EQ(zdouble_calls().size(), recorded);

    zdouble_set("ZDOUBLE_CHUNK_FRAMES", "0");
    zdouble_set("ZDOUBLE_LOG_PROCESS", "1");
    EXPECT_EQ(zephrane_GetProcessChunkFrames(process), 0u);
    EXPECT_EQ(zdouble_calls().back(), "zephrane_GetProcessChunkFrames p1");
}

TEST_F(EngineDouble, LogLinesArriveFromAnotherThread) {
    receivedLines.clear();
    zdouble_set("ZDOUBLE_LOG_LINES", "4:hello: world|10:debug|2:ends\\n|3:");
    zephrane_SetLoggerCallback(collectLine);
    EXPECT_EQ(receivedLines, (std::vector<std::pair<int, std::string>>{
                                 {4, "hello: world"}, {10, "debug"}, {2, "ends\n"}, {3, ""}}));
    EXPECT_EQ(zdouble_emit_log(5, "direct"), 1);
    EXPECT_EQ(receivedLines.back(), (std::pair<int, std::string>{5, "direct"}));
}

}  // namespace
