// Client text on its way into a log line: nothing that could end, forge or colour a line
// gets through, and ordinary names stay readable.
#include <gtest/gtest.h>

#include "log_text.h"

namespace zephrane::engine {
namespace {

TEST(LogText, PrintableTextAndUtf8PassUnchanged) {
    EXPECT_EQ(logText("out.gain"), "out.gain");
    EXPECT_EQ(logText("Morning show -3 dB"), "Morning show -3 dB");
    EXPECT_EQ(logText("Gr\xc3\xbc\xc3\x9f"
                      "e \xe2\x82\xac \xf0\x9f\x8e\xb5"),
              "Gr\xc3\xbc\xc3\x9f"
              "e \xe2\x82\xac \xf0\x9f\x8e\xb5");
}

TEST(LogText, LineBreaksControlsAndEscapesCannotForgeALine) {
    const std::string forged = logText("x\n2026-12-09 10:00:00.000 ERROR fake\r\x1b[31m\x7f");
    EXPECT_EQ(forged.find_first_of("\n\r\x1b\x7f"), std::string::npos);
    EXPECT_EQ(forged, "x\\x0a2026-12-09 10:00:00.000 ERROR fake\\x0d\\x1b[31m\\x7f");
    EXPECT_EQ(logText(std::string("a\0b", 3)), "a\\x00b");
    // A literal "\x0a" typed by the client cannot be mistaken for an escaped line feed.
    EXPECT_EQ(logText("\\x0a"), "\\\\x0a");
}

TEST(LogText, InvalidUtf8AndC1ControlsAreEscapedBytewise) {
    EXPECT_EQ(logText("\xff\xfe"), "\\xff\\xfe");
    EXPECT_EQ(logText("\xc0\xaf"), "\\xc0\\xaf");           // overlong '/'
    EXPECT_EQ(logText("\xed\xa0\x80"), "\\xed\\xa0\\x80");  // surrogate
    EXPECT_EQ(logText("\xc2\x9b"
                      "31m"),
              "\\xc2\\x9b31m");                        // C1 control sequence introducer
    EXPECT_EQ(logText("ab\xe2\x82"), "ab\\xe2\\x82");  // cut-off sequence
}

TEST(LogText, LongTextIsCutAndMarked) {
    const std::string longName(1000, 'a');
    const std::string logged = logText(longName, 16);
    EXPECT_EQ(logged, std::string(16, 'a') + "...");
    EXPECT_EQ(logText("short", 16), "short");
}

}  // namespace
}  // namespace zephrane::engine
