#include "graph_model.h"

#include <tuple>

namespace zephrane {

void GraphModel::remove(uint32_t id) {
    nodes_.erase(id);
    ports_.erase(id);
    links_.erase(id);
}

const GraphNode* GraphModel::node(uint32_t id) const {
    auto found = nodes_.find(id);
    return found == nodes_.end() ? nullptr : &found->second;
}

const GraphPort* GraphModel::port(uint32_t id) const {
    auto found = ports_.find(id);
    return found == ports_.end() ? nullptr : &found->second;
}

bool GraphModel::hasLink(uint32_t outputPort, uint32_t inputPort) const {
    for (const auto& [id, link] : links_) {
        if (link.outputPort == outputPort && link.inputPort == inputPort) {
            return true;
        }
    }
    return false;
}

std::optional<uint32_t> GraphModel::resolve(const std::string& entry, PortDirection direction,
                                            uint32_t excludedNode) const {
    for (const auto& [id, port] : ports_) {
        if (port.direction != direction || port.nodeId == excludedNode) {
            continue;
        }
        const GraphNode* owner = node(port.nodeId);
        if (!port.alias.empty() && entry == port.alias) {
            return id;
        }
        if (owner == nullptr || entry.size() <= owner->name.size() + 1 || entry.rfind(owner->name, 0) != 0 ||
            entry[owner->name.size()] != ':') {
            continue;
        }
        std::string portPart = entry.substr(owner->name.size() + 1);
        if (portPart == port.name || (!port.alias.empty() && portPart == port.alias)) {
            return id;
        }
    }
    return defaultPortOf(entry, direction, excludedNode);
}

std::optional<uint32_t> GraphModel::defaultPortOf(const std::string& nodeName, PortDirection direction,
                                                  uint32_t excludedNode) const {
    // Ranks: 0 MONO, 1 FL, 2 any other; then the port's place, then its global id.
    std::optional<std::tuple<int, uint32_t, uint32_t>> best;
    for (const auto& [id, port] : ports_) {
        const GraphNode* owner = node(port.nodeId);
        if (port.direction != direction || port.nodeId == excludedNode || owner == nullptr ||
            owner->name != nodeName) {
            continue;
        }
        int rank = port.channel == "MONO" ? 0 : port.channel == "FL" ? 1 : 2;
        std::tuple<int, uint32_t, uint32_t> candidate{rank, port.index, id};
        if (!best || candidate < *best) {
            best = candidate;
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return std::get<2>(*best);
}

std::optional<uint32_t> GraphModel::firstPortOf(uint32_t nodeId, PortDirection direction) const {
    std::optional<std::pair<uint32_t, uint32_t>> best;
    for (const auto& [id, port] : ports_) {
        if (port.nodeId == nodeId && port.direction == direction) {
            std::pair<uint32_t, uint32_t> candidate{port.index, id};
            if (!best || candidate < *best) {
                best = candidate;
            }
        }
    }
    if (!best) {
        return std::nullopt;
    }
    return best->second;
}

std::string GraphModel::describe(uint32_t portId) const {
    const GraphPort* found = port(portId);
    if (found == nullptr) {
        return "port " + std::to_string(portId);
    }
    const GraphNode* owner = node(found->nodeId);
    return (owner != nullptr ? owner->name : "node " + std::to_string(found->nodeId)) + ":" + found->name;
}

}  // namespace zephrane
