// The configured links without PipeWire: entries read from the variables, ports found in
// a plain model of the registry, and the keeper's decisions against a given time.
#include <gtest/gtest.h>

#include "graph_model.h"
#include "link_keeper.h"
#include "link_spec.h"
#include "log_capture.h"

namespace zephrane {
namespace {

using namespace std::chrono_literals;
using testing::LogCapture;

TEST(PortList, SplitsAtCommasAndTrimsBlanks) {
    PortListParse parsed = parsePortList(" zt-client:out,sink:playback_FL , Built-in Audio:playback_FR,tone");
    EXPECT_FALSE(parsed.badEntry);
    EXPECT_EQ(parsed.entries, (std::vector<std::string>{"zt-client:out", "sink:playback_FL",
                                                        "Built-in Audio:playback_FR", "tone"}));
    EXPECT_TRUE(parsePortList("").entries.empty());
    EXPECT_FALSE(parsePortList(" \t").badEntry);
}

TEST(PortList, QuotesTheFirstEntryThatIsNotAPort) {
    const std::pair<const char*, const char*> cases[] = {
        {"a:out,,b:in", ""}, {"a:out,", ""},         {",a:out", ""}, {"a:out, zt-client:", " zt-client:"},
        {":FL", ":FL"},      {"a:out,x\ny", "x\ny"},
    };
    for (const auto& [text, bad] : cases) {
        PortListParse parsed = parsePortList(text);
        ASSERT_TRUE(parsed.badEntry) << text;
        EXPECT_EQ(*parsed.badEntry, bad) << text;
        EXPECT_TRUE(parsed.entries.empty()) << text;
    }
}

constexpr uint32_t HOST = 10;
constexpr uint32_t HOST_IN = 11;
constexpr uint32_t HOST_OUT = 12;
constexpr uint32_t NONE = UINT32_MAX;

GraphPort port(uint32_t node, PortDirection direction, const std::string& name,
               const std::string& channel = "", uint32_t index = 0, const std::string& alias = "") {
    return {node, direction, name, alias, channel, index};
}

// A host node with its two ports, and whatever a test adds.
GraphModel hostGraph() {
    GraphModel graph;
    graph.addNode(HOST, {"zt-host"});
    graph.addPort(HOST_IN, port(HOST, PortDirection::input, "FL", "FL"));
    graph.addPort(HOST_OUT, port(HOST, PortDirection::output, "FL", "FL"));
    return graph;
}

TEST(GraphModelResolve, FindsAPortByNameByAliasAndByTheAliasAlone) {
    GraphModel graph = hostGraph();
    graph.addNode(20, {"alsa:card0"});
    graph.addPort(21, port(20, PortDirection::input, "playback_FL", "FL", 0, "Built-in Audio:playback_FL"));
    graph.addPort(22, port(20, PortDirection::output, "monitor_FL", "FL", 0));
    EXPECT_EQ(graph.resolve("alsa:card0:playback_FL", PortDirection::input, NONE), 21u);
    EXPECT_EQ(graph.resolve("alsa:card0:Built-in Audio:playback_FL", PortDirection::input, NONE), 21u);
    EXPECT_EQ(graph.resolve("Built-in Audio:playback_FL", PortDirection::input, NONE), 21u);
    EXPECT_EQ(graph.resolve("alsa:card0:monitor_FL", PortDirection::output, NONE), 22u);
    // The direction counts: the monitor is no input, the playback port no output.
    EXPECT_FALSE(graph.resolve("alsa:card0:monitor_FL", PortDirection::input, NONE));
    EXPECT_FALSE(graph.resolve("alsa:card0:playback_FL", PortDirection::output, NONE));
    EXPECT_FALSE(graph.resolve("alsa:card:playback_FL", PortDirection::input, NONE));
    // The host's own ports are never a configured peer.
    EXPECT_EQ(graph.resolve("zt-host:FL", PortDirection::input, NONE), HOST_IN);
    EXPECT_FALSE(graph.resolve("zt-host:FL", PortDirection::input, HOST));
}

TEST(GraphModelResolve, ANodeNameAloneMeansMonoElseFlElseTheFirstPort) {
    GraphModel graph;
    graph.addNode(1, {"sink"});
    graph.addPort(5, port(1, PortDirection::input, "playback_FR", "FR", 1));
    graph.addPort(6, port(1, PortDirection::input, "aux", "AUX0", 0));
    EXPECT_EQ(graph.resolve("sink", PortDirection::input, NONE), 6u) << "first by its place in the node";
    graph.addPort(7, port(1, PortDirection::input, "playback_FL", "FL", 2));
    EXPECT_EQ(graph.resolve("sink", PortDirection::input, NONE), 7u);
    graph.addPort(8, port(1, PortDirection::input, "playback_MONO", "MONO", 3));
    EXPECT_EQ(graph.resolve("sink", PortDirection::input, NONE), 8u);
    graph.addPort(9, port(1, PortDirection::output, "monitor_MONO", "MONO", 0));
    EXPECT_EQ(graph.resolve("sink", PortDirection::output, NONE), 9u);
    graph.remove(8);
    EXPECT_EQ(graph.resolve("sink", PortDirection::input, NONE), 7u);
    EXPECT_FALSE(graph.resolve("source", PortDirection::output, NONE));
}

// The keeper against a model the test changes, at times the test chooses.
class Keeper : public ::testing::Test {
  protected:
    SteadyTime start{};
    GraphModel graph = hostGraph();
    LogCapture log;

    void addClient(uint32_t node, const std::string& name = "zt-client") {
        graph.addNode(node, {name});
        graph.addPort(node + 1, port(node, PortDirection::input, "in"));
        graph.addPort(node + 2, port(node, PortDirection::output, "out"));
    }
    void removeClient(uint32_t node) {
        graph.remove(node + 2);
        graph.remove(node + 1);
        graph.remove(node);
    }
    // Makes in the model what the keeper asked for.
    void make(const std::vector<LinkRequest>& requests, uint32_t firstId) {
        for (const LinkRequest& request : requests) {
            graph.addLink(firstId++, {request.outputPort, request.inputPort});
        }
    }
    size_t count(const std::string& line) { return log.count(line); }
};

LinkRequest request(uint32_t outputNode, uint32_t outputPort, uint32_t inputNode, uint32_t inputPort) {
    return {outputNode, outputPort, inputNode, inputPort};
}

TEST_F(Keeper, AsksForEachLinkOnceBothPortsExistAndLogsItOnceMade) {
    LinkKeeper keeper({{"zt-client:out"}, {"zt-client:in"}}, start);
    addClient(30);
    EXPECT_TRUE(keeper.update(graph, std::nullopt, start + 100ms).empty()) << "own node not yet known";
    std::vector<LinkRequest> asked = keeper.update(graph, HOST, start + 200ms);
    EXPECT_EQ(asked,
              (std::vector<LinkRequest>{request(30, 32, HOST, HOST_IN), request(HOST, HOST_OUT, 30, 31)}));
    EXPECT_TRUE(keeper.update(graph, HOST, start + 300ms).empty()) << "asked twice while pending";
    EXPECT_TRUE(log.lines().empty());

    EXPECT_EQ(keeper.missingLinks(), 2u) << "asked for, not yet made";
    make(asked, 100);
    EXPECT_TRUE(keeper.update(graph, HOST, start + 400ms).empty());
    EXPECT_EQ(keeper.missingLinks(), 0u);
    EXPECT_TRUE(keeper.update(graph, HOST, start + 500ms).empty());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO Linked zt-client:out to zt-host:FL",
                                                     "INFO Linked zt-host:FL to zt-client:in"}));
}

TEST_F(Keeper, ALinkThatGoesAwayIsAskedForAgainAtOnce) {
    LinkKeeper keeper({{"zt-client:out"}, {}}, start);
    addClient(30);
    make(keeper.update(graph, HOST, start), 100);
    keeper.update(graph, HOST, start + 100ms);
    // Removed by hand: the proxy ends after the link was seen.
    EXPECT_EQ(keeper.missingLinks(), 0u);
    graph.remove(100);
    keeper.requestEnded(request(30, 32, HOST, HOST_IN), start + 150ms);
    EXPECT_EQ(keeper.update(graph, HOST, start + 200ms),
              (std::vector<LinkRequest>{request(30, 32, HOST, HOST_IN)}));
    EXPECT_EQ(keeper.missingLinks(), 1u);

    // The client restarts with new ids.
    removeClient(30);
    keeper.requestEnded(request(30, 32, HOST, HOST_IN), start + 250ms);
    EXPECT_TRUE(keeper.update(graph, HOST, start + 300ms).empty());
    addClient(40);
    EXPECT_EQ(keeper.update(graph, HOST, start + 400ms),
              (std::vector<LinkRequest>{request(40, 42, HOST, HOST_IN)}));
    EXPECT_EQ(log.count("WARN LINK_INPUT port \"zt-client:out\" is not in the graph"), 0u);
}

TEST_F(Keeper, ALinkMadeAndGoneBeforeTheModelShowedItIsLoggedAndAskedForAgainAtOnce) {
    LinkKeeper keeper({{"zt-client:out"}, {}}, start);
    addClient(30);
    LinkRequest wanted = request(30, 32, HOST, HOST_IN);
    ASSERT_EQ(keeper.update(graph, HOST, start).size(), 1u);
    keeper.requestMade(wanted);
    keeper.requestEnded(wanted, start + 10ms);
    EXPECT_EQ(keeper.update(graph, HOST, start + 20ms), (std::vector<LinkRequest>{wanted}));
    keeper.requestMade(wanted);
    make({wanted}, 100);
    keeper.update(graph, HOST, start + 100ms);
    EXPECT_EQ(log.count("INFO Linked zt-client:out to zt-host:FL"), 2u);
    EXPECT_EQ(log.lines().size(), 2u);
}

TEST_F(Keeper, ALinkMadeByOthersOrAskedForTwiceIsNotMadeAgain) {
    LinkKeeper keeper({{"zt-client:out", "zt-client"}, {"zt-client:in", "zt-client:in"}}, start);
    addClient(30);
    graph.addLink(99, {32, HOST_IN});
    EXPECT_EQ(keeper.update(graph, HOST, start), (std::vector<LinkRequest>{request(HOST, HOST_OUT, 30, 31)}));
    EXPECT_TRUE(log.lines().empty()) << "a link made by someone else is not logged as ours";
}

TEST_F(Keeper, AMissingPortGivesOneWarningAfterTenSecondsAndOneLineWhenBack) {
    LinkKeeper keeper({{}, {"zt-sink:in"}}, start);
    for (auto at = 0ms; at < 30s; at += 100ms) {
        keeper.update(graph, HOST, start + at);
        if (at == 9900ms) {
            EXPECT_TRUE(log.lines().empty()) << "warned early";
        }
    }
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"WARN LINK_OUTPUT port \"zt-sink:in\" is not in the graph"}));

    addClient(50, "zt-sink");
    std::vector<LinkRequest> asked = keeper.update(graph, HOST, start + 31s);
    EXPECT_EQ(asked, (std::vector<LinkRequest>{request(HOST, HOST_OUT, 50, 51)}));
    make(asked, 100);
    keeper.update(graph, HOST, start + 32s);
    // Gone again, then back before ten seconds: no warning, only the new link.
    removeClient(50);
    graph.remove(100);
    keeper.requestEnded(asked[0], start + 33s);
    keeper.update(graph, HOST, start + 33s);
    keeper.update(graph, HOST, start + 42s);
    addClient(60, "zt-sink");
    make(keeper.update(graph, HOST, start + 42500ms), 101);
    keeper.update(graph, HOST, start + 43s);
    // Gone for good: a warning ten seconds after it went away.
    removeClient(60);
    graph.remove(101);
    keeper.update(graph, HOST, start + 50s);
    keeper.update(graph, HOST, start + 59900ms);
    keeper.update(graph, HOST, start + 60s);
    keeper.update(graph, HOST, start + 70s);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "WARN LINK_OUTPUT port \"zt-sink:in\" is not in the graph",
                               "INFO LINK_OUTPUT port \"zt-sink:in\" is back",
                               "INFO Linked zt-host:FL to zt-sink:in", "INFO Linked zt-host:FL to zt-sink:in",
                               "WARN LINK_OUTPUT port \"zt-sink:in\" is not in the graph"}));
}

TEST_F(Keeper, ARefusedLinkIsRetriedAfterAPauseWithOneWarning) {
    LinkKeeper keeper({{"zt-client:out"}, {}}, start);
    addClient(30);
    LinkRequest wanted = request(30, 32, HOST, HOST_IN);
    ASSERT_EQ(keeper.update(graph, HOST, start).size(), 1u);
    keeper.requestEnded(wanted, start + 10ms, "no format");
    EXPECT_TRUE(keeper.update(graph, HOST, start + 100ms).empty()) << "retried without a pause";
    ASSERT_EQ(keeper.update(graph, HOST, start + 10ms + LinkKeeper::RETRY_PAUSE).size(), 1u);
    keeper.requestEnded(wanted, start + 600ms, "no format");
    ASSERT_EQ(keeper.update(graph, HOST, start + 2s).size(), 1u);
    make({wanted}, 100);
    keeper.update(graph, HOST, start + 2100ms);
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{"WARN Cannot link zt-client:out to zt-host:FL: no format",
                                        "INFO Linked zt-client:out to zt-host:FL"}));
}

TEST_F(Keeper, GraphNamesAreEscapedInLogLines) {
    LinkKeeper keeper({{"evil"}, {}}, start);
    graph.addNode(30, {"evil"});
    graph.addPort(32, port(30, PortDirection::output, "out\nINFO forged"));
    make(keeper.update(graph, HOST, start), 100);
    keeper.update(graph, HOST, start + 100ms);
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"INFO Linked evil:out\\x0aINFO forged to zt-host:FL"}));
}

}  // namespace
}  // namespace zephrane
