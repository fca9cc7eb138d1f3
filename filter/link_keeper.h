#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "graph_model.h"
#include "link_spec.h"

namespace zephrane {

using SteadyTime = std::chrono::steady_clock::time_point;

// A link the host asks PipeWire to make, from an output port to an input port.
struct LinkRequest {
    uint32_t outputNode = 0;
    uint32_t outputPort = 0;
    uint32_t inputNode = 0;
    uint32_t inputPort = 0;

    bool operator==(const LinkRequest&) const = default;
};

// Decides which of the configured links to make, given what the registry shows, and
// logs what an operator needs: each link made, a configured port missing for a while,
// and its return. Knows nothing of PipeWire, so it runs against a plain model and a
// given time.
class LinkKeeper {
  public:
    static constexpr std::chrono::seconds MISSING_WARNING_AFTER{10};
    // After a request that ended without a link, before the next one for those ports.
    static constexpr std::chrono::milliseconds RETRY_PAUSE{500};

    LinkKeeper(const LinkSettings& settings, SteadyTime start);

    // The links to request now. ownNode is the host's node id, or none while the node
    // is not yet in the graph.
    std::vector<LinkRequest> update(const GraphModel& graph, std::optional<uint32_t> ownNode, SteadyTime now);

    // PipeWire made the requested link; it may not be in the model yet.
    void requestMade(const LinkRequest& request);

    // A request's proxy is gone: made and later removed, or refused or failed with
    // `error`. A failure is logged once until the link is made, and its ports wait for a
    // pause before the next request.
    void requestEnded(const LinkRequest& request, SteadyTime now, const std::string& error = "");

    // Configured links not in the graph at the last update: a port missing, or the link
    // not (yet) made.
    size_t missingLinks() const;

  private:
    struct Wanted {
        const char* variable;
        std::string entry;
        PortDirection peerDirection;  // the direction of the configured port
        std::optional<SteadyTime> missingSince;
        bool warned = false;   // the missing port has had its WARN line
        bool failing = false;  // requests for this link fail; logged once
        bool linked = false;   // the link was in the graph at the last update
    };
    using PortPair = std::pair<uint32_t, uint32_t>;
    struct Pending {
        size_t wanted;            // the entry that asked first
        std::string description;  // "from to", for the log lines
        bool made = false;        // logged as made
    };

    void logMade(Pending& pending);

    std::optional<LinkRequest> consider(size_t index, const GraphModel& graph,
                                        std::optional<uint32_t> ownNode, SteadyTime now);
    void trackPresence(Wanted& wanted, bool present, SteadyTime now);

    std::vector<Wanted> wanted_;
    // Requested and not yet seen in the graph.
    std::map<PortPair, Pending> pending_;
    std::map<PortPair, SteadyTime> retryAfter_;
};

}  // namespace zephrane
