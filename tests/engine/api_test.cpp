// The C interface as a host uses it: fixed properties, refused chunk sizes, null
// handles, parameters and metadata, the log callback and its filter, the exported
// symbols of the built library.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>

#include "control_protocol.h"
#include "process_core.h"
#include "process_handle.h"
#include "test_support.h"
#include "zephrane_engine.h"

namespace {

using enginetest::LogCapture;
using enginetest::ScratchDir;
using nlohmann::json;

TEST(EngineApi, FixedProperties) {
    EXPECT_EQ(zephrane_GetSampleRate(), 48000);
    EXPECT_EQ(zephrane_GetChunkSizeInFrames(), 12);
    EXPECT_EQ(zephrane_GetChannelCount(), 1);
    EXPECT_EQ(zephrane_GetAudioInputCount(), 1);
    EXPECT_EQ(zephrane_GetAudioOutputCount(), 1);
    EXPECT_STRNE(zephrane_GetVersion(), "");
    const uint32_t* sizes = zephrane_GetPossibleChunkSizeInFrames();
    std::vector<uint32_t> list;
    for (; *sizes != 0; ++sizes) {
        list.push_back(*sizes);
    }
    EXPECT_TRUE(std::is_sorted(list.begin(), list.end()));
    EXPECT_EQ(std::adjacent_find(list.begin(), list.end()), list.end());
    for (uint32_t needed : {12u, 16u, 32u, 64u, 128u, 256u, 512u, 1024u, 2048u, 4096u, 8192u}) {
        EXPECT_NE(std::find(list.begin(), list.end(), needed), list.end()) << needed;
    }
}

TEST(EngineApi, EveryPossibleChunkSizeProcessesExactlyThatMany) {
    ScratchDir dir;
    for (const uint32_t* size = zephrane_GetPossibleChunkSizeInFrames(); *size != 0; ++size) {
        ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, *size);
        ASSERT_NE(process, nullptr) << *size;
        EXPECT_EQ(zephrane_GetProcessChunkFrames(process), *size);
        // A guard sample after the chunk must stay untouched.
        std::vector<float> in(*size + 1, 0.25f), out(*size + 1, 9.0f);
        const float* inputs[] = {in.data()};
        float* outputs[] = {out.data()};
        EXPECT_EQ(zephrane_ProcessAudio_Planar(process, inputs, outputs), 0);
        EXPECT_EQ(out[*size], 9.0f);
        EXPECT_EQ(out[0], 0.0f);  // the limiter's look-ahead comes first
        if (*size > 12) {
            EXPECT_EQ(out[*size - 1], 0.25f);
        }
        zephrane_ExitProcess(process);
    }
}

TEST(EngineApi, OtherChunkSizesAreRefusedWithAnError) {
    ScratchDir dir;
    LogCapture log;
    for (uint32_t frames : {0u, 1u, 100u, 441u, 16384u}) {
        EXPECT_EQ(zephrane_InitProcess3(dir.path().c_str(), nullptr, frames), nullptr) << frames;
    }
    EXPECT_TRUE(log.contains(2, "441 frames per chunk"));
}

TEST(EngineApi, NullHandlesAreErrorsNotCrashes) {
    float sample = 0.0f;
    float* channel = &sample;
    const float* inputs[] = {channel};
    float* outputs[] = {channel};
    EXPECT_EQ(zephrane_SetParameter(nullptr, "a", "b"), -1);
    ZephraneParametersHandle parameters = zephrane_NewParameters();
    EXPECT_EQ(zephrane_SetParameter(parameters, nullptr, "b"), -1);
    EXPECT_EQ(zephrane_SetParameter(parameters, "a", nullptr), -1);
    zephrane_FreeParameters(parameters);
    zephrane_FreeParameters(nullptr);
    EXPECT_EQ(zephrane_SetMetadata(nullptr, "k", "v"), -1);
    EXPECT_EQ(zephrane_StartUpdateThread(nullptr, 0), -1);
    EXPECT_LT(zephrane_WaitUpdateThreadReady(nullptr, 10), 0);
    EXPECT_EQ(zephrane_StopUpdateThread(nullptr), -1);
    EXPECT_EQ(zephrane_GetProcessChunkFrames(nullptr), 0u);
    EXPECT_EQ(zephrane_ProcessAudio_Planar(nullptr, inputs, outputs), -1);
    zephrane_ExitProcess(nullptr);

    ScratchDir dir;
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 12);
    EXPECT_EQ(zephrane_ProcessAudio_Planar(process, nullptr, outputs), -1);
    EXPECT_EQ(zephrane_ProcessAudio_Planar(process, inputs, nullptr), -1);
    EXPECT_EQ(zephrane_SetMetadata(process, nullptr, "v"), -1);
    zephrane_ExitProcess(process);
}

// The web interface reached through the C interface: a page for a live process, its
// status bit, a clean stop, and failure values for what is not a server.
TEST(EngineApi, WebServerServesAProcessAndStopsCleanly) {
    ScratchDir dir;
    LogCapture log;
    EXPECT_EQ(zephrane_Webserver(8080, 0, nullptr), -1);
    EXPECT_EQ(zephrane_Webserver_Status(-1), 0);
    EXPECT_NE(zephrane_Webserver_Stop(-1, 1000), 0);
    EXPECT_NE(zephrane_Webserver_Stop(123456, 1000), 0);

    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 12);
    ASSERT_NE(process, nullptr);
    int port = enginetest::freePort();
    ZephraneWebserverHandle server = zephrane_Webserver(static_cast<uint32_t>(port), 0, process);
    ASSERT_NE(server, -1);
    EXPECT_EQ(zephrane_Webserver_Status(server), 1);

    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const char request[] = "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    ASSERT_EQ(send(fd, request, sizeof request - 1, 0), static_cast<ssize_t>(sizeof request - 1));
    char reply[64] = {};
    ASSERT_GT(recv(fd, reply, sizeof reply - 1, MSG_WAITALL), 12);
    EXPECT_EQ(std::string(reply).rfind("HTTP/1.1 200", 0), 0u) << reply;
    close(fd);

    EXPECT_EQ(zephrane_Webserver_Stop(server, 1000), 0);
    EXPECT_EQ(zephrane_Webserver_Status(server), 0);
    EXPECT_NE(zephrane_Webserver_Stop(server, 1000), 0);
    zephrane_ExitProcess(process);
}

TEST(EngineApi, ParametersAndMetadataReachTheTree) {
    ScratchDir dir;
    LogCapture log;
    enginetest::writeFile(dir.file("studio.json"), R"({"in":{"gain":-3},"out":{"gain":-2}})");
    ZephraneParametersHandle parameters = zephrane_NewParameters();
    zephrane_SetParameter(parameters, "in.gain", "-6");
    zephrane_SetParameter(parameters, "STATE_FILENAME", "studio.json");
    zephrane_SetParameter(parameters, "NO_SUCH_KEY", "1");
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), parameters, 24);
    zephrane_FreeParameters(parameters);  // the process keeps nothing of the set
    ASSERT_NE(process, nullptr);
    EXPECT_EQ(zephrane_SetMetadata(process, "station", "North"), 0);
    EXPECT_TRUE(log.contains(3, "NO_SUCH_KEY"));

    int port = enginetest::freePort();
    std::thread loop([&] { zephrane_StartUpdateThread(process, port); });
    ASSERT_EQ(zephrane_WaitUpdateThreadReady(process, 5000), 0);
    enginetest::LineClient client(port);
    EXPECT_EQ(json::parse(client.request(R"({"get":{"in":null,"out":null,"meta":null}})")),
              json::parse(R"({"in":{"gain":-6.0},"out":{"gain":-2.0},"meta":{"station":"North"}})"));
    zephrane_StopUpdateThread(process);
    loop.join();
    zephrane_ExitProcess(process);
}

TEST(EngineApi, LiveProcessIsFoundByItsPortForOtherServers) {
    ScratchDir dir;
    int port = enginetest::freePort();
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 48);
    zephrane_SetMetadata(process, "station", "South");
    std::thread loop([&] { zephrane_StartUpdateThread(process, port); });
    ASSERT_EQ(zephrane_WaitUpdateThreadReady(process, 5000), 0);
    auto core = zephrane::engine::findProcessByPort(port);
    ASSERT_NE(core, nullptr);
    zephrane::engine::ClientView view(core);
    json tree = json::parse(zephrane::engine::handleControlRequest(view, R"({"get":{"meta":null}})"));
    EXPECT_EQ(tree["meta"]["station"], "South");
    zephrane_StopUpdateThread(process);
    loop.join();
    EXPECT_EQ(zephrane::engine::findProcessByPort(port), nullptr);
    zephrane_ExitProcess(process);
}

TEST(EngineApi, InProcessHandlerSharesTheLiveSettings) {
    ScratchDir dir;
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 96);
    auto handler = zephrane::engine::makeControlHandler(process->core);
    EXPECT_EQ(json::parse(handler(R"({"set":{"out":{"gain":-4}}})"))["out"]["gain"], -4.0);
    EXPECT_EQ(json::parse(handler(R"({"change":{"out":null}})")), json::parse(R"({"out":{"gain":-4.0}})"));
    EXPECT_EQ(json::parse(handler(R"({"change":{"out":null}})")), json::object());
    zephrane_ExitProcess(process);
    // The handler keeps the core alive after the handle is gone.
    EXPECT_EQ(json::parse(handler(R"({"get":{"info":{"chunk":null}}})"))["info"]["chunk"], 96);
}

TEST(EngineApi, LogLinesAreFilteredBySeverity) {
    ScratchDir dir;
    LogCapture log;
    zephrane_SetLogSeverity(3);
    ZephraneProcessHandle process = zephrane_InitProcess3(dir.path().c_str(), nullptr, 12);
    zephrane_InitProcess3(dir.path().c_str(), nullptr, 13);
    zephrane_ExitProcess(process);
    for (const auto& line : log.lines()) {
        EXPECT_LE(line.severity, 3) << line.text;
    }
    EXPECT_TRUE(log.contains(2, "13 frames"));
    zephrane_SetLogSeverity(4);
}

TEST(EngineApi, ExportsOnlyTheZephraneFunctions) {
    std::string command = std::string("nm -D --defined-only ") + ENGINE_LIBRARY_PATH;
    FILE* pipe = ::popen(command.c_str(), "r");
    ASSERT_NE(pipe, nullptr);
    char line[512];
    int count = 0;
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        std::string text(line);
        std::string name = text.substr(text.rfind(' ') + 1);
        name.erase(name.find_last_not_of("\r\n") + 1);
        EXPECT_EQ(name.rfind("zephrane_", 0), 0u) << "exported: " << name;
        ++count;
    }
    EXPECT_EQ(::pclose(pipe), 0);
    EXPECT_EQ(count, 24);
}

}  // namespace
