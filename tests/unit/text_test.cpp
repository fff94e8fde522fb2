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
