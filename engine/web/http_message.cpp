#include "http_message.h"

#include <algorithm>
#include <cctype>

namespace zephrane::web {

namespace {

std::string lower(std::string_view s) {
    std::string out(s);
    std::transform(out.begin(), out.end(), out.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

}  // namespace

std::string_view HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (key == name) {
            return value;
        }
    }
    return {};
}

void HttpResponse::set(std::string name, std::string value) {
    for (auto& [key, existing] : headers) {
        if (lower(key) == lower(name)) {
            existing = std::move(value);
            return;
        }
    }
    headers.emplace_back(std::move(name), std::move(value));
}

std::string_view HttpResponse::header(std::string_view name) const {
    for (const auto& [key, value] : headers) {
        if (lower(key) == lower(name)) {
            return value;
        }
    }
    return {};
}

}  // namespace zephrane::web
