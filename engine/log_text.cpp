#include "log_text.h"

#include <cstdint>

namespace zephrane::engine {
namespace {

void appendHex(std::string& out, unsigned char byte) {
    static const char kDigits[] = "0123456789abcdef";
    out += "\\x";
    out += kDigits[byte >> 4];
    out += kDigits[byte & 0x0f];
}

// Length of the valid UTF-8 sequence at text[at], or 0. Overlong forms, surrogates and
// code points past U+10FFFF count as invalid, as do C1 controls (U+0080..U+009F).
size_t utf8SequenceLength(std::string_view text, size_t at) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    size_t length = 0;
    uint32_t codePoint = 0;
    if (lead >= 0xc2 && lead <= 0xdf) {
        length = 2;
        codePoint = lead & 0x1f;
    } else if (lead >= 0xe0 && lead <= 0xef) {
        length = 3;
        codePoint = lead & 0x0f;
    } else if (lead >= 0xf0 && lead <= 0xf4) {
        length = 4;
        codePoint = lead & 0x07;
    } else {
        return 0;
    }
    if (at + length > text.size()) {
        return 0;
    }
    for (size_t i = 1; i < length; ++i) {
        if ((byte(at + i) & 0xc0) != 0x80) {
            return 0;
        }
        codePoint = (codePoint << 6) | (byte(at + i) & 0x3f);
    }
    const bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    const bool surrogate = codePoint >= 0xd800 && codePoint <= 0xdfff;
    const bool c1Control = codePoint >= 0x80 && codePoint <= 0x9f;
    if (overlong || surrogate || c1Control || codePoint > 0x10ffff) {
        return 0;
    }
    return length;
}

}  // namespace

std::string logText(std::string_view text, size_t maxBytes) {
    const bool cut = text.size() > maxBytes;
    if (cut) {
        text = text.substr(0, maxBytes);
    }
    std::string out;
    out.reserve(text.size() + 8);
    size_t at = 0;
    while (at < text.size()) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte == '\\') {
            out += "\\\\";
            ++at;
        } else if (byte >= 0x20 && byte < 0x7f) {
            out += static_cast<char>(byte);
            ++at;
        } else if (const size_t length = byte >= 0x80 ? utf8SequenceLength(text, at) : 0; length > 0) {
            out.append(text.substr(at, length));
            at += length;
        } else {
            appendHex(out, byte);
            ++at;
        }
    }
    if (cut) {
        out += "...";
    }
    return out;
}

}  // namespace zephrane::engine
