#pragma once

// What the engine's exported zephrane_Webserver* functions call. Servers are known to
// the caller by an id from a registry, never by a pointer, so a stale or made-up handle
// is answered, not dereferenced.
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "web_log.h"
#include "web_server.h"

namespace zephrane::web {

// Starts a server with the login and certificate settings from the environment. The id,
// or -1 when nothing could be started (a server that failed to listen still gets an id;
// its status tells).
int64_t startWebServer(WebServerConfig config);

// Served by the engine in this process: handler answers one control request line (it is
// called by one thread at a time). A self-signed certificate is kept in the storage
// directory unless it is read-only.
int64_t startInProcessWebServer(uint32_t httpPort, uint32_t httpsPort,
                                std::function<std::string(const std::string&)> handler,
                                const std::string& storageDirectory, bool storageReadOnly, WebLog log);

// Served for a processing instance reached over TCP, authenticating with PROC_SECRET when
// set. The self-signed certificate and a generated login secret are kept in the parameter
// STORAGE_PATH, else STATE_DIR, else the environment's STATE_DIR; not written when the
// parameter STORAGE_RO is 1 or true.
int64_t startTcpWebServer(uint32_t httpPort, uint32_t httpsPort, const std::string& address, uint32_t port,
                          const std::map<std::string, std::string>& parameters, WebLog log);

// Bit kStatusHttp, bit kStatusHttps; 0 for an unknown id.
int webServerStatus(int64_t id);

// 0 when everything ended within the time-out, 1 when not, -1 for an unknown id. The id
// is gone afterwards either way.
int stopWebServer(int64_t id, int timeoutMs);

}  // namespace zephrane::web
