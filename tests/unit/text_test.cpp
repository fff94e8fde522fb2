#include <gtest/gtest.h>

#include "common/text.h"

TEST(BoundedText, CutsWhatDoesNotFitAndAlwaysTerminates) {
    char small[5];
    EXPECT_FALSE(CopyText(small, "perchman"));
    EXPECT_STREQ(small, "perc");
    EXPECT_TRUE(CopyText(small, "abc"));
    EXPECT_FALSE(AppendText(small, "defg"));
    EXPECT_STREQ(small, "abcd");
    char line[8];
    EXPECT_FALSE(FormatText(line, "%s-%d", "long text", 12345));
    EXPECT_STREQ(line, "long te");
}

// Text from outside never breaks a line: control characters show as \xNN, and
// a cut never ends inside one.
TEST(BoundedText, ShownTextEscapesControlCharactersWhole) {
    struct Case {
        std::string_view text;
        size_t size;
        const char* shown;
        bool whole;
    } cases[] = {
        {"SRV-MAD,MAD-1", 64, "SRV-MAD,MAD-1", true},
        {"A\r\nFORGED", 64, "A\\x0D\\x0AFORGED", true},
        {std::string_view("\x01\x1F\x7F\t", 4), 64, "\\x01\\x1F\\x7F\\x09", true},
        {"\xF1\xA2 ok", 64, "\xF1\xA2 ok", true},
        {"AB\nC", 6, "AB", false},
        {"AB\nC", 7, "AB\\x0A", false},
    };
    for (const Case& c : cases) {
        char out[64];
        EXPECT_EQ(CopyShownText(out, c.size, c.text), c.whole) << c.shown;
        EXPECT_STREQ(out, c.shown);
    }
}
