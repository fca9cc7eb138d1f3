#pragma once

#include <string>
#include <string_view>

namespace zephrane {

// Decodes standard base64, skipping line feeds, carriage returns and spaces, and stopping
// at the end or at the first other character outside the alphabet (so "=" ends it).
// Bits left over at the stop are dropped.
std::string decodeBase64(std::string_view text);

}  // namespace zephrane
