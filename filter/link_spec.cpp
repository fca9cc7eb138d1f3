#include "link_spec.h"

namespace zephrane {

namespace {

constexpr std::string_view BLANKS = " \t";

std::string_view trimmed(std::string_view text) {
    size_t first = text.find_first_not_of(BLANKS);
    if (first == std::string_view::npos) {
        return {};
    }
    size_t last = text.find_last_not_of(BLANKS);
    return text.substr(first, last - first + 1);
}

bool isPort(std::string_view entry) {
    if (entry.empty() || entry.front() == ':' || entry.back() == ':') {
        return false;
    }
    for (char c : entry) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            return false;
        }
    }
    return true;
}

}  // namespace

PortListParse parsePortList(std::string_view text) {
    PortListParse result;
    if (trimmed(text).empty()) {
        return result;
    }
    size_t start = 0;
    while (true) {
        size_t comma = text.find(',', start);
        std::string_view raw = text.substr(start, comma == std::string_view::npos ? comma : comma - start);
        std::string_view entry = trimmed(raw);
        if (!isPort(entry)) {
            result.entries.clear();
            result.badEntry = std::string(raw);
            return result;
        }
        result.entries.emplace_back(entry);
        if (comma == std::string_view::npos) {
            return result;
        }
        start = comma + 1;
    }
}

}  // namespace zephrane
