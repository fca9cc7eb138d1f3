#pragma once

// The JSON control protocol: one request object per line, one reply object per line.
// Shared by the TCP update loop and (later) the web server.
//
// Requests (exactly one command per object):
//   {"get":null}                      the whole tree: in, out, limiter, meter, meta, info, preset
//   {"get":{"in":null}}               a subtree; nest objects to go deeper: {"get":{"in":{"gain":null}}}
//   {"change":null}                   only the values that differ from what this client saw at its
//                                     previous get or change (everything the first time); a selector
//                                     as for get narrows it; {} when nothing changed
//   {"set":{"in":{"gain":-30}}}       merges the values (all or nothing) and replies with the values
//                                     now in force, e.g. {"in":{"gain":-30.0}}
//   {"preset":{"save":"name"}}        stores the current settings as a named preset
//                                     -> {"preset":{"saved":"name"}}
//   {"preset":{"load":"name"}}        puts a preset on air -> the settings now in force plus
//                                     "preset":{"onair":"name","since":"<UTC time>"}
//   {"preset":{"list":null}}          -> {"preset":{"list":[names],"onair":name|null,"since":...}}
//   {"preset":{"delete":"name"}}      -> {"preset":{"deleted":"name"}}
// Every refused request gets {"error":"<reason>"} and the connection stays usable. Values
// out of range are refused with the allowed range in the reason, never clamped.
#include <cstddef>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

namespace zephrane::engine {

class ProcessCore;

inline constexpr size_t kMaxRequestBytes = 64 * 1024;
inline constexpr int kMaxRequestDepth = 32;

// What one client has seen, for "change".
struct ClientView {
    explicit ClientView(std::shared_ptr<ProcessCore> process) : core(std::move(process)) {}

    std::shared_ptr<ProcessCore> core;
    nlohmann::json seen = nlohmann::json::object();
    std::string peer;
};

// Answers one request line (without its line end). Never throws; the reply is valid
// JSON without a line end, even when the request held invalid UTF-8.
std::string handleControlRequest(ClientView& client, std::string_view line);

// An error reply with this reason.
std::string controlErrorReply(std::string_view reason);

}  // namespace zephrane::engine
