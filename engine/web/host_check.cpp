#include "host_check.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>

namespace zephrane::web {

namespace {

std::string lowerCase(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

std::string_view trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) {
        text.remove_prefix(1);
    }
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) {
        text.remove_suffix(1);
    }
    return text;
}

bool isPort(std::string_view text) {
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c) != 0; });
}

bool isAddress(int family, std::string_view text) {
    unsigned char address[16];
    std::string copy(text);
    return !text.empty() && text.size() < 64 && inet_pton(family, copy.c_str(), address) == 1;
}

void addName(std::vector<std::string>& names, std::string_view name) {
    std::string normal = lowerCase(trimmed(name));
    if (!normal.empty() && normal.back() == '.') {
        normal.pop_back();
    }
    if (!normal.empty() && std::find(names.begin(), names.end(), normal) == names.end()) {
        names.push_back(std::move(normal));
    }
}

}  // namespace

std::vector<std::string> allowedHostNamesFromEnvironment() {
    std::vector<std::string> names;
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) == 0 && host[0] != '\0') {
        addName(names, host);
        addName(names, std::string(host) + ".local");
    }
    if (const char* listed = std::getenv("WEB_HOSTS")) {
        std::string_view rest = listed;
        while (!rest.empty()) {
            size_t comma = rest.find(',');
            addName(names, rest.substr(0, comma));
            rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
        }
    }
    return names;
}

bool hostAllowed(std::string_view host, const std::vector<std::string>& names) {
    host = trimmed(host);
    if (host.empty()) {
        return false;
    }
    if (host.front() == '[') {
        size_t close = host.find(']');
        if (close == std::string_view::npos) {
            return false;
        }
        std::string_view rest = host.substr(close + 1);
        return isAddress(AF_INET6, host.substr(1, close - 1)) &&
               (rest.empty() || (rest.front() == ':' && isPort(rest.substr(1))));
    }
    size_t colon = host.find(':');
    std::string_view name = host.substr(0, colon);
    if (colon != std::string_view::npos && !isPort(host.substr(colon + 1))) {
        return false;  // also a bare IPv6 address, which a Host header must bracket
    }
    if (isAddress(AF_INET, name)) {
        return true;
    }
    std::string normal = lowerCase(name);
    if (!normal.empty() && normal.back() == '.') {
        normal.pop_back();
    }
    return !normal.empty() &&
           (normal == "localhost" || std::find(names.begin(), names.end(), normal) != names.end());
}

}  // namespace zephrane::web
