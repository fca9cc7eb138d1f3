#include "link_keeper.h"

#include "log.h"
#include "log_text.h"

namespace zephrane {

using engine::logText;

LinkKeeper::LinkKeeper(const LinkSettings& settings, SteadyTime start) {
    for (const std::string& entry : settings.inputSources) {
        wanted_.push_back({"LINK_INPUT", entry, PortDirection::output, start});
    }
    for (const std::string& entry : settings.outputTargets) {
        wanted_.push_back({"LINK_OUTPUT", entry, PortDirection::input, start});
    }
}

std::vector<LinkRequest> LinkKeeper::update(const GraphModel& graph, std::optional<uint32_t> ownNode,
                                            SteadyTime now) {
    std::vector<LinkRequest> requests;
    for (size_t index = 0; index < wanted_.size(); ++index) {
        if (std::optional<LinkRequest> request = consider(index, graph, ownNode, now)) {
            requests.push_back(*request);
        }
    }
    return requests;
}

void LinkKeeper::trackPresence(Wanted& wanted, bool present, SteadyTime now) {
    if (present) {
        if (wanted.warned) {
            ZLOG(LOG_INFO) << wanted.variable << " port \"" << logText(wanted.entry) << "\" is back";
        }
        wanted.missingSince.reset();
        wanted.warned = false;
        return;
    }
    if (!wanted.missingSince) {
        wanted.missingSince = now;
    }
    if (!wanted.warned && now - *wanted.missingSince >= MISSING_WARNING_AFTER) {
        ZLOG(LOG_WARN) << wanted.variable << " port \"" << logText(wanted.entry) << "\" is not in the graph";
        wanted.warned = true;
    }
}

std::optional<LinkRequest> LinkKeeper::consider(size_t index, const GraphModel& graph,
                                                std::optional<uint32_t> ownNode, SteadyTime now) {
    Wanted& wanted = wanted_[index];
    wanted.linked = false;
    std::optional<uint32_t> peer =
        graph.resolve(wanted.entry, wanted.peerDirection, ownNode.value_or(UINT32_MAX));
    trackPresence(wanted, peer.has_value(), now);
    if (!peer || !ownNode) {
        return std::nullopt;
    }
    bool peerIsSource = wanted.peerDirection == PortDirection::output;
    std::optional<uint32_t> own =
        graph.firstPortOf(*ownNode, peerIsSource ? PortDirection::input : PortDirection::output);
    if (!own) {
        return std::nullopt;
    }
    LinkRequest request;
    request.outputPort = peerIsSource ? *peer : *own;
    request.inputPort = peerIsSource ? *own : *peer;
    request.outputNode = graph.port(request.outputPort)->nodeId;
    request.inputNode = graph.port(request.inputPort)->nodeId;
    PortPair pair{request.outputPort, request.inputPort};

    auto pending = pending_.find(pair);
    if (graph.hasLink(pair.first, pair.second)) {
        wanted.linked = true;
        if (pending != pending_.end()) {
            logMade(pending->second);
            pending_.erase(pending);
        }
        retryAfter_.erase(pair);
        return std::nullopt;
    }
    if (pending != pending_.end()) {
        return std::nullopt;
    }
    auto pause = retryAfter_.find(pair);
    if (pause != retryAfter_.end()) {
        if (now < pause->second) {
            return std::nullopt;
        }
        retryAfter_.erase(pause);
    }
    std::string description =
        logText(graph.describe(request.outputPort)) + " to " + logText(graph.describe(request.inputPort));
    pending_[pair] = {index, std::move(description)};
    return request;
}

size_t LinkKeeper::missingLinks() const {
    size_t missing = 0;
    for (const Wanted& wanted : wanted_) {
        missing += wanted.linked ? 0 : 1;
    }
    return missing;
}

void LinkKeeper::logMade(Pending& pending) {
    if (!pending.made) {
        ZLOG(LOG_INFO) << "Linked " << pending.description;
        wanted_[pending.wanted].failing = false;
        pending.made = true;
    }
}

void LinkKeeper::requestMade(const LinkRequest& request) {
    auto pending = pending_.find({request.outputPort, request.inputPort});
    if (pending != pending_.end()) {
        logMade(pending->second);
    }
}

void LinkKeeper::requestEnded(const LinkRequest& request, SteadyTime now, const std::string& error) {
    auto pending = pending_.find({request.outputPort, request.inputPort});
    if (pending == pending_.end()) {
        // Seen in the graph already; its absence now shows in the next update.
        return;
    }
    if (pending->second.made && error.empty()) {
        // Made and gone before the model showed it: asked for again at once.
        pending_.erase(pending);
        return;
    }
    Wanted& wanted = wanted_[pending->second.wanted];
    if (!error.empty() && !wanted.failing) {
        ZLOG(LOG_WARN) << "Cannot link " << pending->second.description << ": " << logText(error);
        wanted.failing = true;
    }
    retryAfter_[pending->first] = now + RETRY_PAUSE;
    pending_.erase(pending);
}

}  // namespace zephrane
