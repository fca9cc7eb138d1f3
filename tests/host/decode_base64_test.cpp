#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>

#include "decode_base64.h"
#include "icon_data.h"

namespace zephrane {
namespace {

TEST(DecodeBase64, DecodesSkipsWhitespaceAndStopsAtTheFirstInvalidCharacter) {
    EXPECT_EQ(decodeBase64(""), "");
    EXPECT_EQ(decodeBase64("TWFu"), "Man");
    EXPECT_EQ(decodeBase64("\nTW\r\nF u\n"), "Man");
    // "=" ends the decoding; the 4 bits left over are dropped.
    EXPECT_EQ(decodeBase64("TWE=TWFu"), "Ma");
    EXPECT_EQ(decodeBase64("TQ"), "M");
    EXPECT_EQ(decodeBase64("TWFu\tTWFu"), "Man");
    EXPECT_EQ(decodeBase64("+/+/"), "\xfb\xff\xbf");
    EXPECT_EQ(decodeBase64(std::string("TW\0Fu", 5)), "M");
    EXPECT_EQ(decodeBase64("TWFu\xc3\xa9TWFu"), "Man");
}

// Both texts must keep the layout PipeWire and the icon file are given.
void expectLayout(const char* text, size_t length) {
    ASSERT_EQ(std::strlen(text), length);
    ASSERT_EQ(text[0], '\n');
    std::istringstream lines(text + 1);
    std::string line;
    std::string last;
    size_t count = 0;
    while (std::getline(lines, line)) {
        if (!last.empty()) {
            EXPECT_EQ(last.size(), 76u);
        }
        last = line;
        ++count;
    }
    EXPECT_LE(last.size(), 76u);
    EXPECT_EQ(text[length - 1], '\n');
    EXPECT_GT(count, 1u);
}

TEST(BuiltInIcons, HaveTheirLayoutSizesAndSignatures) {
    expectLayout(iconPngBase64, 11758);
    expectLayout(iconIcoBase64, 3329);

    std::string png = decodeBase64(iconPngBase64);
    ASSERT_EQ(png.size(), 8703u);
    EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
    // IHDR: 128 x 128, 8 bits per channel, RGBA (colour type 6)
    EXPECT_EQ(png.substr(12, 4), "IHDR");
    EXPECT_EQ(png.substr(16, 8), std::string("\0\0\0\x80\0\0\0\x80", 8));
    EXPECT_EQ(png[24], 8);
    EXPECT_EQ(png[25], 6);
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND");

    std::string ico = decodeBase64(iconIcoBase64);
    ASSERT_EQ(ico.size(), 2462u);
    EXPECT_EQ(ico.substr(0, 6), std::string("\0\0\1\0\1\0", 6));
    EXPECT_EQ(ico[6], 24);
    EXPECT_EQ(ico[7], 24);
    EXPECT_EQ(ico[12], 32);  // bits per pixel
}

}  // namespace
}  // namespace zephrane
