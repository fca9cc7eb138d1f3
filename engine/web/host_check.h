#pragma once

// Which Host a request may name. A page on another site whose name the attacker points at
// the board would otherwise pass the same-origin checks (DNS rebinding): the server only
// answers to names that are its own.
#include <string>
#include <string_view>
#include <vector>

namespace zephrane::web {

// The names this machine answers to besides IP literals and "localhost": its host name,
// the host name with ".local", and the comma-separated names in WEB_HOSTS. Read once, when
// a server is configured.
std::vector<std::string> allowedHostNamesFromEnvironment();

// Whether a Host header value (with or without ":port") is an IPv4 literal, an IPv6
// literal in brackets, "localhost" or one of names (compared without case, a trailing dot
// ignored). An empty or malformed value is not.
bool hostAllowed(std::string_view host, const std::vector<std::string>& names);

}  // namespace zephrane::web
