#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace zephrane {

enum class PortDirection { input, output };

struct GraphNode {
    std::string name;  // node.name
};

struct GraphPort {
    uint32_t nodeId = 0;
    PortDirection direction = PortDirection::input;
    std::string name;     // port.name
    std::string alias;    // port.alias
    std::string channel;  // audio.channel
    uint32_t index = 0;   // port.id: the port's place among its node's ports
};

struct GraphLink {
    uint32_t outputPort = 0;
    uint32_t inputPort = 0;
};

// What the registry has shown of the graph's nodes, ports and links, by global id.
class GraphModel {
  public:
    void addNode(uint32_t id, GraphNode node) { nodes_[id] = std::move(node); }
    void addPort(uint32_t id, GraphPort port) { ports_[id] = std::move(port); }
    void addLink(uint32_t id, GraphLink link) { links_[id] = link; }
    // Whatever the id stood for.
    void remove(uint32_t id);

    const GraphPort* port(uint32_t id) const;
    bool hasLink(uint32_t outputPort, uint32_t inputPort) const;

    // The port a configured entry names among the ports of one direction: "node:port"
    // with the port's name or alias, the alias alone, or a node name alone for that
    // node's MONO port, else its FL port, else its first port. Ports of the node
    // excludedNode (the host's own) are never chosen.
    std::optional<uint32_t> resolve(const std::string& entry, PortDirection direction,
                                    uint32_t excludedNode) const;
    // The first port of one direction of a node.
    std::optional<uint32_t> firstPortOf(uint32_t nodeId, PortDirection direction) const;
    // "node:port" for log lines.
    std::string describe(uint32_t portId) const;

  private:
    const GraphNode* node(uint32_t id) const;
    std::optional<uint32_t> defaultPortOf(const std::string& nodeName, PortDirection direction,
                                          uint32_t excludedNode) const;

    std::map<uint32_t, GraphNode> nodes_;
    std::map<uint32_t, GraphPort> ports_;
    std::map<uint32_t, GraphLink> links_;
};

}  // namespace zephrane
