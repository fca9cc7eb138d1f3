#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zephrane {

// The ports the host keeps linked, each written as pw-link writes it: "node:port" (the
// node by node.name, the port by port.name or port.alias) or a node name alone.
struct LinkSettings {
    std::vector<std::string> inputSources;   // LINK_INPUT: what feeds the host's input
    std::vector<std::string> outputTargets;  // LINK_OUTPUT: where the host's output goes

    bool empty() const { return inputSources.empty() && outputTargets.empty(); }
};

// A comma-separated list of ports, or the first entry that is not a port.
struct PortListParse {
    std::vector<std::string> entries;
    std::optional<std::string> badEntry;
};

// Splits at commas and trims blanks around each entry. An empty entry, an entry that
// starts or ends with ':' and one holding a control character are not ports. An empty or
// blank text is an empty list.
PortListParse parsePortList(std::string_view text);

}  // namespace zephrane
