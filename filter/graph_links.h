#pragma once

#include <pipewire/pipewire.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "graph_model.h"
#include "link_keeper.h"
#include "link_spec.h"

namespace zephrane {

// Keeps the configured links of the host's node in the graph: watches the registry of
// the host's own connection and creates the links the LinkKeeper asks for. The links
// belong to the host's client, so they go away when the host does. Runs on the main
// loop only.
class GraphLinks {
  public:
    // How often the graph is checked against the configured links.
    static constexpr std::chrono::milliseconds CHECK_PERIOD{100};

    GraphLinks(pw_loop* loop, pw_core* core, pw_filter* filter, const LinkSettings& settings);
    ~GraphLinks();
    GraphLinks(const GraphLinks&) = delete;
    GraphLinks& operator=(const GraphLinks&) = delete;

    // Configured links missing from the graph at the last check.
    size_t missingLinks() const { return keeper_.missingLinks(); }

  private:
    // One link this host asked for; the link lives as long as the proxy.
    struct LinkProxy {
        GraphLinks* owner = nullptr;
        LinkRequest request;
        pw_proxy* proxy = nullptr;
        spa_hook listener{};
        bool ended = false;
        std::string error;
    };

    static void onGlobal(void* data, uint32_t id, uint32_t permissions, const char* type, uint32_t version,
                         const spa_dict* props);
    static void onGlobalRemove(void* data, uint32_t id);
    static void onCheck(void* data, uint64_t expirations);
    static void onProxyBound(void* data, uint32_t globalId);
    static void onProxyRemoved(void* data);
    static void onProxyError(void* data, int seq, int res, const char* message);

    void check();
    void createLink(const LinkRequest& request);
    static void destroy(LinkProxy& link);

    pw_loop* loop_;
    pw_core* core_;
    pw_filter* filter_;
    GraphModel graph_;
    LinkKeeper keeper_;
    pw_registry* registry_ = nullptr;
    spa_hook registryListener_{};
    std::vector<std::unique_ptr<LinkProxy>> links_;
    spa_source* timer_ = nullptr;
};

}  // namespace zephrane
