#include "decode_base64.h"

#include <array>
#include <cstdint>

namespace zephrane {

namespace {

constexpr int8_t INVALID = -1;
constexpr int8_t SKIP = -2;

constexpr std::array<int8_t, 256> makeTable() {
    std::array<int8_t, 256> table{};
    table.fill(INVALID);
    const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i) {
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<int8_t>(i);
    }
    table['\n'] = SKIP;
    table['\r'] = SKIP;
    table[' '] = SKIP;
    return table;
}

constexpr std::array<int8_t, 256> decodeTable = makeTable();

}  // namespace

std::string decodeBase64(std::string_view text) {
    std::string bytes;
    bytes.reserve(text.size() / 4 * 3 + 3);
    uint32_t bits = 0;
    int held = 0;
    for (char c : text) {
        int8_t value = decodeTable[static_cast<unsigned char>(c)];
        if (value == SKIP) {
            continue;
        }
        if (value == INVALID) {
            break;
        }
        bits = (bits << 6) | static_cast<uint32_t>(value);
        held += 6;
        if (held >= 8) {
            held -= 8;
            bytes.push_back(static_cast<char>((bits >> held) & 0xFF));
        }
    }
    return bytes;
}

}  // namespace zephrane
