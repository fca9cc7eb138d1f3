// The JSON control protocol, straight through handleControlRequest: every command, every
// kind of refused request, change tracking, presets, hostile bytes.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "control_protocol.h"
#include "engine_log.h"
#include "process_core.h"
#include "session.h"
#include "test_support.h"

namespace zephrane::engine {
namespace {

using nlohmann::json;

class Protocol : public ::testing::Test {
  protected:
    static std::shared_ptr<ProcessCore> makeCore(const std::string& path) {
        StoreOptions options;
        options.dir = path;
        bool joined = false;
        return std::make_shared<ProcessCore>(Session::open(options, {}, joined), 48);
    }

    json ask(ClientView& view, const std::string& line) {
        std::string reply = handleControlRequest(view, line);
        EXPECT_EQ(reply.find('\n'), std::string::npos);
        return json::parse(reply);
    }
    json ask(const std::string& line) { return ask(client, line); }

    std::string errorOf(const std::string& line) {
        json reply = ask(line);
        EXPECT_TRUE(reply.contains("error")) << line << " -> " << reply.dump();
        return reply.value("error", "");
    }

    enginetest::ScratchDir dir;
    std::shared_ptr<ProcessCore> core = makeCore(dir.path());
    ClientView client{core};
};

TEST_F(Protocol, GetReturnsTheWholeTree) {
    core->setMetadata("station", "Radio One");
    json tree = ask(R"({"get":null})");
    for (const char* key : {"in", "out", "limiter", "meter", "meta", "info", "preset"}) {
        EXPECT_TRUE(tree.contains(key)) << key;
    }
    EXPECT_EQ(tree["in"]["gain"], 0.0);
    EXPECT_EQ(tree["limiter"]["ceiling"], -1.0);
    EXPECT_EQ(tree["info"]["rate"], 48000);
    EXPECT_EQ(tree["info"]["chunk"], 48);
    EXPECT_EQ(tree["info"]["version"], kEngineVersion);
    EXPECT_EQ(tree["meta"]["station"], "Radio One");
    EXPECT_EQ(tree["meter"]["in"]["peak"], -120.0);
    EXPECT_TRUE(tree["preset"]["onair"].is_null());
}

// Telnet users read the meters: one decimal as written, not "-15.200000000000001".
TEST_F(Protocol, MeterLevelsPrintWithOneDecimal) {
    std::vector<float> in(48);
    std::vector<float> out(48);
    for (float level : {0.17f, 0.5f, 0.0123f, 0.9f}) {
        for (int block = 0; block < 101; ++block) {
            for (size_t k = 0; k < in.size(); ++k) {
                in[k] = (k % 2 ? level : -level) * (1.0f - 0.001f * static_cast<float>(k));
            }
            core->chain().process(in.data(), out.data(), 48);
        }
        std::string reply = handleControlRequest(client, R"({"get":{"meter":{"in":null}}})");
        json levels = json::parse(reply)["meter"]["in"];
        for (const auto& [name, value] : levels.items()) {
            std::string printed = value.dump();
            size_t point = printed.find('.');
            EXPECT_TRUE(point == std::string::npos || printed.size() - point - 1 <= 1)
                << name << " " << reply;
        }
    }
}

TEST_F(Protocol, GetNamesASubtree) {
    EXPECT_EQ(ask(R"({"get":{"in":null}})"), json::parse(R"({"in":{"gain":0.0}})"));
    EXPECT_EQ(ask(R"({"get":{"limiter":{"release":null},"info":{"rate":null}}})"),
              json::parse(R"({"limiter":{"release":100.0},"info":{"rate":48000}})"));
}

TEST_F(Protocol, SetAsWrittenInTheHelpText) {
    EXPECT_EQ(ask(R"({"set":{"in":{"gain":-30}}})"), json::parse(R"({"in":{"gain":-30.0}})"));
    EXPECT_EQ(ask(R"({"get":{"in":null}})")["in"]["gain"], -30.0);
    EXPECT_EQ(ask(R"({"set":{"limiter":{"ceiling":-3.5,"release":20}}})"),
              json::parse(R"({"limiter":{"ceiling":-3.5,"release":20.0}})"));
}

TEST_F(Protocol, SetIsAllOrNothing) {
    std::string reason = errorOf(R"({"set":{"in":{"gain":-6},"out":{"gain":100}}})");
    EXPECT_NE(reason.find("out.gain"), std::string::npos) << reason;
    EXPECT_NE(reason.find("[-80, 24]"), std::string::npos) << reason;
    EXPECT_EQ(ask(R"({"get":{"in":null}})")["in"]["gain"], 0.0);
}

TEST_F(Protocol, RefusedRequestsSayWhy) {
    struct Case {
        const char* request;
        const char* reason;
    } cases[] = {
        {R"({"get":nul)", "malformed JSON"},
        {R"([1,2])", "one command"},
        {R"("get")", "one command"},
        {R"({})", "one command"},
        {R"({"get":null,"change":null})", "one command"},
        {R"({"fetch":null})", "unknown command \"fetch\""},
        {R"({"get":{"bass":null}})", "unknown key \"bass\""},
        {R"({"get":{"in":{"mute":null}}})", "unknown key \"in.mute\""},
        {R"({"get":"in"})", "expected null or an object"},
        {R"({"set":{"in":{"mute":true}}})", "unknown setting \"in.mute\""},
        {R"({"set":{"eq":{"gain":1}}})", "unknown setting group \"eq\""},
        {R"({"set":{"in":{"gain":"-6"}}})", "expected a number"},
        {R"({"set":{"in":{"gain":true}}})", "expected a number"},
        {R"({"set":{"in":-6}})", "expected an object"},
        {R"({"set":null})", "expected an object"},
        {R"({"set":{"limiter":{"ceiling":0.5}}})", "[-30, 0] dBFS"},
        {R"({"set":{"limiter":{"release":0}}})", "[1, 5000] ms"},
        {R"({"set":{"in":{"gain":1e400}}})", "malformed JSON"},
        {R"({"set":{"meter":{"load":0}}})", "meter is read-only"},
        {R"({"set":{"meta":{"station":"x"}}})", "meta is read-only"},
        {R"({"set":{"info":{"rate":44100}}})", "info is read-only"},
        {R"({"preset":{"rename":"x"}})", "unknown action"},
        {R"({"preset":{"save":".."}})", "leave the storage directory"},
        {R"({"preset":{"save":"../escape"}})", "path separator"},
        {R"({"preset":{"save":"a/b"}})", "path separator"},
        {R"({"preset":{"load":""}})", "empty"},
        {R"({"preset":{"load":7}})", "expected a name string"},
        {R"({"preset":{"load":"never-saved"}})", "no preset named"},
        {R"({"preset":{"save":"a","load":"b"}})", "expected one of"},
    };
    for (const Case& c : cases) {
        std::string reason = errorOf(c.request);
        EXPECT_NE(reason.find(c.reason), std::string::npos) << c.request << " -> " << reason;
    }
    // Deep nesting is refused before it is parsed.
    std::string deep = R"({"get":)" + std::string(100, '[') + std::string(100, ']') + "}";
    EXPECT_NE(errorOf(deep).find("nested deeper"), std::string::npos);
    // And the view still answers afterwards.
    EXPECT_EQ(ask(R"({"get":{"in":null}})")["in"]["gain"], 0.0);
}

TEST_F(Protocol, RepliesStayValidJsonForInvalidUtf8) {
    for (std::string bad : {std::string("{\"get\":{\"\xff\xfe\":null}}"), std::string("{\"\xc3\":1}"),
                            std::string("{\"get\xe2\x82\":null}"), std::string("\xff\xff\xff")}) {
        std::string reply = handleControlRequest(client, bad);
        EXPECT_TRUE(json::accept(reply)) << reply;
    }
    core->setMetadata("bad\xff", "value\xfe");
    EXPECT_TRUE(json::accept(handleControlRequest(client, R"({"get":{"meta":null}})")));
}

TEST_F(Protocol, ChangeReportsOnlyWhatThisClientHasNotSeen) {
    json first = ask(R"({"change":null})");
    EXPECT_TRUE(first.contains("in") && first.contains("info") && first.contains("meter"));
    EXPECT_EQ(ask(R"({"change":null})"), json::object());

    ClientView other(core);
    ask(other, R"({"set":{"in":{"gain":-12}}})");
    EXPECT_EQ(ask(R"({"change":null})"), json::parse(R"({"in":{"gain":-12.0}})"));
    EXPECT_EQ(ask(R"({"change":null})"), json::object());
    // The other client has never asked, so everything is new to it.
    EXPECT_TRUE(ask(other, R"({"change":null})").contains("limiter"));
}

TEST_F(Protocol, GetCountsAsSeenAndChangeTakesASelector) {
    ask(R"({"get":{"in":null}})");
    ClientView other(core);
    ask(other, R"({"set":{"out":{"gain":3}}})");
    EXPECT_EQ(ask(R"({"change":{"in":null}})"), json::object());
    EXPECT_EQ(ask(R"({"change":{"out":null}})"), json::parse(R"({"out":{"gain":3.0}})"));
}

TEST_F(Protocol, PresetsSaveListLoadDelete) {
    ask(R"({"set":{"in":{"gain":-20}}})");
    EXPECT_EQ(ask(R"({"preset":{"save":"talk"}})"), json::parse(R"({"preset":{"saved":"talk"}})"));
    ask(R"({"set":{"in":{"gain":5}}})");
    ask(R"({"preset":{"save":"music"}})");

    json list = ask(R"({"preset":{"list":null}})");
    EXPECT_EQ(list["preset"]["list"], json::parse(R"(["music","talk"])"));
    EXPECT_TRUE(list["preset"]["onair"].is_null());

    json loaded = ask(R"({"preset":{"load":"talk"}})");
    EXPECT_EQ(loaded["in"]["gain"], -20.0);
    EXPECT_EQ(loaded["preset"]["onair"], "talk");
    EXPECT_TRUE(loaded["preset"]["since"].is_string());
    EXPECT_EQ(ask(R"({"get":{"in":null,"preset":{"onair":null}}})"),
              json::parse(R"({"in":{"gain":-20.0},"preset":{"onair":"talk"}})"));

    EXPECT_EQ(ask(R"({"preset":{"delete":"music"}})"), json::parse(R"({"preset":{"deleted":"music"}})"));
    EXPECT_EQ(ask(R"({"preset":{"list":null}})")["preset"]["list"], json::parse(R"(["talk"])"));
    EXPECT_NE(errorOf(R"({"preset":{"delete":"music"}})").find("no preset"), std::string::npos);
}

TEST_F(Protocol, EveryChangeIsOneAuditLineNamingTheClient) {
    enginetest::LogCapture log;
    client.peer = "192.0.2.7:40000";
    ask(R"({"set":{"out":{"gain":-5},"in":{"gain":-2.5}}})");
    ask(R"({"get":null})");
    ask(R"({"preset":{"save":"talk"}})");
    ask(R"({"preset":{"load":"talk"}})");
    ask(R"({"preset":{"list":null}})");
    ask(R"({"preset":{"delete":"talk"}})");
    ask(R"({"set":{"out":{"gain":99}}})");  // refused: nothing changed
    std::vector<std::string> info;
    for (const auto& line : log.lines()) {
        if (line.severity == kInfo) {
            info.push_back(line.text);
        }
    }
    std::vector<std::string> expected{"JSON client 192.0.2.7:40000: set in.gain 0 -> -2.5, out.gain 0 -> -5",
                                      "JSON client 192.0.2.7:40000: preset save \"talk\"",
                                      "JSON client 192.0.2.7:40000: preset load \"talk\"",
                                      "JSON client 192.0.2.7:40000: preset delete \"talk\""};
    EXPECT_EQ(info, expected);

    // The web interface in this process writes its own lines, naming the person.
    ClientView web{core};
    web.changesAuditedByCaller = true;
    ask(web, R"({"set":{"out":{"gain":-6}}})");
    EXPECT_FALSE(log.contains(kInfo, "out.gain -5 -> -6"));
}

TEST_F(Protocol, ClientTextReachesTheLogEscaped) {
    enginetest::LogCapture log;
    client.peer = "192.0.2.7:40000";
    errorOf("{\"set\":{\"in\\n2026-12-09 ERROR forged\":{\"\\u001b[2Jx\":1}}}");
    errorOf("{\"preset\":{\"load\":\"no\\r\\nsuch\\u001b[31m\"}}");
    errorOf("{\"get\":{\"\\u001b]0;title\\u0007\":null}}");
    errorOf("{\"set\":{\"in\":{\"\\u001b[2Jx\":1}}}");
    ASSERT_FALSE(log.lines().empty());
    for (const auto& line : log.lines()) {
        for (char c : line.text) {
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7f) << line.text;
        }
    }
    EXPECT_TRUE(log.contains(kVerb, "in\\x0a2026-12-09 ERROR forged")) << log.lines().back().text;
    EXPECT_TRUE(log.contains(kVerb, "\\x1b[2Jx"));
}

TEST_F(Protocol, SetReachesTheAudio) {
    ask(R"({"set":{"in":{"gain":-6.0206},"limiter":{"ceiling":0}}})");
    std::vector<float> in(4800, 0.5f), out(4800);
    for (size_t at = 0; at < in.size(); at += 48) {
        core->chain().process(in.data() + at, out.data() + at, 48);
    }
    EXPECT_NEAR(out.back(), 0.25f, 1e-4f);
}

}  // namespace
}  // namespace zephrane::engine
