#include <gtest/gtest.h>

#include "entry/dispatch.h"

namespace {

TEST(IsDecimalNumber, OnlyUnsignedDigitsCount) {
    struct Case {
        const char* text;
        int expected;
    };
    const Case cases[] = {
        {nullptr, 0}, {"", 0},    {"0", 1},    {"5", 1},   {"0123456789", 1},
        {"-1", 0},    {"+1", 0},  {"1.5", 0},  {" 1", 0},  {"1 ", 0},
        {"12a", 0},   {"x", 0},   {"\xd9", 0}, {"1e3", 0}, {"99999999999999999999", 1},
    };
    for (const Case& c : cases)
        EXPECT_EQ(IsDecimalNumber(c.text), c.expected) << (c.text ? c.text : "(null)");
}

}  // namespace
