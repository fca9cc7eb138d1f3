#include "graph_links.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <optional>

#include "log.h"

namespace zephrane {

namespace {

SteadyTime now() {
    return std::chrono::steady_clock::now();
}

const char* lookup(const spa_dict* props, const char* key) {
    const char* value = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
    return value != nullptr ? value : "";
}

std::optional<uint32_t> lookupId(const spa_dict* props, const char* key) {
    const char* text = lookup(props, key);
    uint32_t value = 0;
    const char* end = text + std::strlen(text);
    auto [stop, error] = std::from_chars(text, end, value);
    if (error != std::errc() || stop != end || stop == text) {
        return std::nullopt;
    }
    return value;
}

void addPort(GraphModel& graph, uint32_t id, const spa_dict* props) {
    std::optional<uint32_t> nodeId = lookupId(props, PW_KEY_NODE_ID);
    std::string direction = lookup(props, PW_KEY_PORT_DIRECTION);
    if (!nodeId || (direction != "in" && direction != "out")) {
        return;
    }
    GraphPort port;
    port.nodeId = *nodeId;
    port.direction = direction == "in" ? PortDirection::input : PortDirection::output;
    port.name = lookup(props, PW_KEY_PORT_NAME);
    port.alias = lookup(props, PW_KEY_PORT_ALIAS);
    port.channel = lookup(props, PW_KEY_AUDIO_CHANNEL);
    port.index = lookupId(props, PW_KEY_PORT_ID).value_or(0);
    graph.addPort(id, std::move(port));
}

void addLink(GraphModel& graph, uint32_t id, const spa_dict* props) {
    std::optional<uint32_t> output = lookupId(props, PW_KEY_LINK_OUTPUT_PORT);
    std::optional<uint32_t> input = lookupId(props, PW_KEY_LINK_INPUT_PORT);
    if (output && input) {
        graph.addLink(id, {*output, *input});
    }
}

}  // namespace

GraphLinks::GraphLinks(pw_loop* loop, pw_core* core, pw_filter* filter, const LinkSettings& settings)
    : loop_(loop), core_(core), filter_(filter), keeper_(settings, now()) {
    static const pw_registry_events registryEvents = [] {
        pw_registry_events events{};
        events.version = PW_VERSION_REGISTRY_EVENTS;
        events.global = onGlobal;
        events.global_remove = onGlobalRemove;
        return events;
    }();
    registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
    if (registry_ != nullptr) {
        pw_registry_add_listener(registry_, &registryListener_, &registryEvents, this);
    }
    timer_ = pw_loop_add_timer(loop_, onCheck, this);
    if (timer_ != nullptr) {
        auto period = std::chrono::duration_cast<std::chrono::nanoseconds>(CHECK_PERIOD).count();
        timespec interval{0, static_cast<long>(period)};
        pw_loop_update_timer(loop_, timer_, &interval, &interval, false);
    }
}

GraphLinks::~GraphLinks() {
    if (timer_ != nullptr) {
        pw_loop_destroy_source(loop_, timer_);
    }
    for (auto& link : links_) {
        destroy(*link);
    }
    links_.clear();
    if (registry_ != nullptr) {
        spa_hook_remove(&registryListener_);
        pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    }
}

void GraphLinks::onGlobal(void* data, uint32_t id, uint32_t, const char* type, uint32_t,
                          const spa_dict* props) {
    GraphModel& graph = static_cast<GraphLinks*>(data)->graph_;
    if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
        graph.addNode(id, {lookup(props, PW_KEY_NODE_NAME)});
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
        addPort(graph, id, props);
    } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
        addLink(graph, id, props);
    }
}

void GraphLinks::onGlobalRemove(void* data, uint32_t id) {
    static_cast<GraphLinks*>(data)->graph_.remove(id);
}

void GraphLinks::onCheck(void* data, uint64_t) {
    static_cast<GraphLinks*>(data)->check();
}

void GraphLinks::onProxyBound(void* data, uint32_t) {
    auto& link = *static_cast<LinkProxy*>(data);
    link.owner->keeper_.requestMade(link.request);
}

void GraphLinks::onProxyRemoved(void* data) {
    static_cast<LinkProxy*>(data)->ended = true;
}

void GraphLinks::onProxyError(void* data, int, int res, const char* message) {
    auto& link = *static_cast<LinkProxy*>(data);
    link.ended = true;
    link.error = message != nullptr && *message != '\0' ? message : std::strerror(-res);
}

void GraphLinks::check() {
    SteadyTime time = now();
    // Proxies are released here rather than in their own callbacks.
    for (auto& link : links_) {
        if (!link->ended) {
            continue;
        }
        // An older proxy for the same ports that ends late says nothing about a newer one.
        bool superseded = std::any_of(links_.begin(), links_.end(), [&](const auto& other) {
            return other.get() != link.get() && other->proxy != nullptr && !other->ended &&
                   other->request == link->request;
        });
        if (!superseded) {
            keeper_.requestEnded(link->request, time, link->error);
        }
        destroy(*link);
    }
    std::erase_if(links_, [](const auto& link) { return link->proxy == nullptr; });

    uint32_t ownNode = pw_filter_get_node_id(filter_);
    std::optional<uint32_t> known = ownNode == SPA_ID_INVALID ? std::nullopt : std::optional(ownNode);
    for (const LinkRequest& request : keeper_.update(graph_, known, time)) {
        createLink(request);
    }
}

void GraphLinks::createLink(const LinkRequest& request) {
    static const pw_proxy_events proxyEvents = [] {
        pw_proxy_events events{};
        events.version = PW_VERSION_PROXY_EVENTS;
        events.bound = onProxyBound;
        events.removed = onProxyRemoved;
        events.error = onProxyError;
        return events;
    }();
    // Without object.linger the link ends with this proxy, and with the host's client.
    std::string outputNode = std::to_string(request.outputNode);
    std::string outputPort = std::to_string(request.outputPort);
    std::string inputNode = std::to_string(request.inputNode);
    std::string inputPort = std::to_string(request.inputPort);
    const spa_dict_item items[] = {
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_NODE, outputNode.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_OUTPUT_PORT, outputPort.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_NODE, inputNode.c_str()),
        SPA_DICT_ITEM_INIT(PW_KEY_LINK_INPUT_PORT, inputPort.c_str()),
    };
    const spa_dict props = SPA_DICT_INIT_ARRAY(items);

    auto link = std::make_unique<LinkProxy>();
    link->owner = this;
    link->request = request;
    link->proxy = static_cast<pw_proxy*>(
        pw_core_create_object(core_, "link-factory", PW_TYPE_INTERFACE_Link, PW_VERSION_LINK, &props, 0));
    if (link->proxy == nullptr) {
        keeper_.requestEnded(request, now(), std::strerror(errno));
        return;
    }
    pw_proxy_add_listener(link->proxy, &link->listener, &proxyEvents, link.get());
    links_.push_back(std::move(link));
}

void GraphLinks::destroy(LinkProxy& link) {
    if (link.proxy == nullptr) {
        return;
    }
    spa_hook_remove(&link.listener);
    pw_proxy_destroy(link.proxy);
    link.proxy = nullptr;
}

}  // namespace zephrane
