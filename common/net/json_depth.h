#pragma once

#include <string_view>

namespace zephrane::net {

// True when objects and arrays in the text nest no deeper than the limit (brackets in
// strings do not count). Checked before parsing, so the recursive parts of JSON handling
// never see deep input from a client.
bool jsonNestingWithin(std::string_view text, int limit);

}  // namespace zephrane::net
