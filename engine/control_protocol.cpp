#include "control_protocol.h"

#include "change_text.h"
#include "engine_log.h"
#include "log_text.h"
#include "net/json_depth.h"
#include "process_core.h"
#include "process_handle.h"

namespace zephrane::engine {

using nlohmann::json;

namespace {

struct RequestError {
    std::string reason;
};

std::string dumpReply(const json& reply) {
    return reply.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string joinKey(const std::string& path, const std::string& key) {
    return path.empty() ? key : path + "." + key;
}

// The part of tree named by selector: null takes all, an object takes its keys.
json select(const json& tree, const json& selector, const std::string& path) {
    if (selector.is_null()) {
        return tree;
    }
    if (!selector.is_object()) {
        throw RequestError{(path.empty() ? std::string("selector") : path) +
                           ": expected null or an object of names, got " + selector.type_name()};
    }
    json picked = json::object();
    for (const auto& [key, sub] : selector.items()) {
        std::string where = joinKey(path, key);
        if (!tree.is_object() || !tree.contains(key)) {
            throw RequestError{"unknown key \"" + where + "\""};
        }
        picked[key] = select(tree[key], sub, where);
    }
    return picked;
}

// Leaves of now that differ from seen.
json difference(const json& now, const json& seen) {
    json changed = json::object();
    for (const auto& [key, value] : now.items()) {
        auto old = seen.is_object() ? seen.find(key) : seen.end();
        if (value.is_object()) {
            json inner = difference(value, old != seen.end() ? *old : json());
            if (!inner.empty() || old == seen.end()) {
                changed[key] = std::move(inner);
            }
        } else if (old == seen.end() || *old != value) {
            changed[key] = value;
        }
    }
    return changed;
}

// Records values as seen, keeping what was seen elsewhere in the tree.
void remember(json& seen, const json& values) {
    for (const auto& [key, value] : values.items()) {
        if (value.is_object() && seen.contains(key) && seen[key].is_object()) {
            remember(seen[key], value);
        } else {
            seen[key] = value;
        }
    }
}

const std::string& presetName(const json& value, const char* verb) {
    if (!value.is_string()) {
        throw RequestError{std::string("preset ") + verb + ": expected a name string, got " +
                           value.type_name()};
    }
    return value.get_ref<const std::string&>();
}

void audit(const ClientView& client, const std::string& what) {
    if (!client.changesAuditedByCaller) {
        logLine(kInfo,
                "JSON client " + logText(client.peer.empty() ? "(unknown)" : client.peer) + ": " + what);
    }
}

void auditPreset(const ClientView& client, const char* verb, const std::string& name) {
    audit(client, std::string("preset ") + verb + " " + logText(auditValue(name)));
}

json handlePreset(ClientView& client, const json& request) {
    ProcessCore& core = *client.core;
    if (!request.is_object() || request.size() != 1) {
        throw RequestError{
            "preset: expected one of {\"save\":name}, {\"load\":name}, {\"list\":null}, {\"delete\":name}"};
    }
    const std::string& verb = request.begin().key();
    const json& argument = request.begin().value();
    Session& session = core.session();
    if (verb == "list") {
        json onair = session.onair();
        return {{"preset",
                 {{"list", session.listPresets()}, {"onair", onair["onair"]}, {"since", onair["since"]}}}};
    }
    std::string problem;
    if (verb == "save") {
        const std::string& name = presetName(argument, "save");
        problem = session.savePreset(name);
        if (problem.empty()) {
            auditPreset(client, "save", name);
            return {{"preset", {{"saved", name}}}};
        }
    } else if (verb == "load") {
        const std::string& name = presetName(argument, "load");
        problem = session.loadPreset(name);
        if (problem.empty()) {
            auditPreset(client, "load", name);
            json reply = session.settings();
            reply["preset"] = session.onair();
            return reply;
        }
    } else if (verb == "delete") {
        const std::string& name = presetName(argument, "delete");
        problem = session.deletePreset(name);
        if (problem.empty()) {
            auditPreset(client, "delete", name);
            return {{"preset", {{"deleted", name}}}};
        }
    } else {
        throw RequestError{"preset: unknown action \"" + verb + "\"; expected save, load, list or delete"};
    }
    throw RequestError{problem};
}

json handle(ClientView& client, std::string_view line) {
    if (!net::jsonNestingWithin(line, kMaxRequestDepth)) {
        throw RequestError{"request nested deeper than " + std::to_string(kMaxRequestDepth) + " levels"};
    }
    json request;
    try {
        request = json::parse(line);
    } catch (const json::exception& error) {  // also number overflow
        throw RequestError{std::string("malformed JSON: ") + error.what()};
    }
    if (!request.is_object() || request.size() != 1) {
        throw RequestError{"expected an object with one command: get, change, set or preset"};
    }
    const std::string& command = request.begin().key();
    const json& argument = request.begin().value();
    ProcessCore& core = *client.core;
    if (command == "get") {
        json picked = select(core.tree(), argument, "");
        remember(client.seen, picked);
        return picked;
    }
    if (command == "change") {
        // The selection keeps its paths from the root, so it compares with seen directly.
        json now = select(core.tree(), argument, "");
        json changed = difference(now, client.seen);
        remember(client.seen, now);
        return changed;
    }
    if (command == "set") {
        json inForce, before;
        std::string problem = core.session().set(argument, inForce, &before);
        if (!problem.empty()) {
            throw RequestError{problem};
        }
        audit(client, "set " + describeSettingChanges(before, inForce));
        return inForce;
    }
    if (command == "preset") {
        return handlePreset(client, argument);
    }
    throw RequestError{"unknown command \"" + command + "\"; expected get, change, set or preset"};
}

}  // namespace

std::string controlErrorReply(std::string_view reason) {
    return dumpReply(json{{"error", std::string(reason)}});
}

std::string handleControlRequest(ClientView& client, std::string_view line) {
    try {
        return dumpReply(handle(client, line));
    } catch (const RequestError& error) {
        logLine(kVerb, "JSON request refused: " + logText(error.reason));
        return controlErrorReply(error.reason);
    } catch (const std::exception& error) {
        logLine(kError, "JSON request failed: " + logText(error.what()));
        return controlErrorReply(std::string("internal error: ") + error.what());
    } catch (...) {
        return controlErrorReply("internal error");
    }
}

std::function<std::string(const std::string&)> makeControlHandler(std::shared_ptr<ProcessCore> core) {
    auto view = std::make_shared<ClientView>(std::move(core));
    view->changesAuditedByCaller = true;  // the web interface, which names the person
    return [view](const std::string& line) { return handleControlRequest(*view, line); };
}

}  // namespace zephrane::engine
