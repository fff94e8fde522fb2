#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "product/server_list.h"
#include "engine/timing.h"

namespace {

struct Parsed {
    std::string name;
    char separator;
    uint32_t limitMs;
    bool operator==(const Parsed&) const = default;
};

void PrintTo(const Parsed& p, std::ostream* os) {
    *os << "{\"" << p.name << "\" '" << p.separator << "' " << p.limitMs << "}";
}

std::vector<Parsed> ParseAll(std::string text, bool readLimits, int* counted) {
    *counted = CountListEntries(text.c_str());
    std::vector<Parsed> out;
    char* cursor = text.data();
    ListEntry entry;
    for (int i = 0; i < *counted && TakeListEntry(&cursor, entry, readLimits); ++i)
        out.push_back({entry.name, entry.separator, entry.limitMs});
    return out;
}

struct ListCase {
    const char* text;
    bool readLimits;
    std::vector<Parsed> expected;
};

class ListSyntax : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListSyntax, ParsesEntriesSeparatorsAndLimits) {
    const ListCase& c = GetParam();
    int counted = 0;
    std::vector<Parsed> parsed = ParseAll(c.text, c.readLimits, &counted);
    EXPECT_EQ(counted, static_cast<int>(c.expected.size())) << c.text;
    EXPECT_EQ(parsed, c.expected) << c.text;
}

constexpr uint32_t N = NO_LIMIT;

INSTANTIATE_TEST_SUITE_P(
    Lists, ListSyntax,
    ::testing::Values(
        ListCase{"A(300)=B,C", true, {{"A", '=', 300}, {"B", ',', N}, {"C", ',', N}}},
        ListCase{"A,B,", true, {{"A", ',', N}, {"B", ',', N}}},
        ListCase{"A", true, {{"A", ',', N}}},
        ListCase{"", true, {}},
        ListCase{"A>B>C", true, {{"A", '>', N}, {"B", '>', N}, {"C", ',', N}}},
        // Blanks belong to the names.
        ListCase{" A , B", true, {{" A ", ',', N}, {" B", ',', N}}},
        // An empty entry between two separators stays an entry.
        ListCase{"A,,B", true, {{"A", ',', N}, {"", ',', N}, {"B", ',', N}}},
        // The closing parenthesis is not needed; text after the number is ignored.
        ListCase{"A(40", true, {{"A", ',', 40}}},
        ListCase{"A(40ms)>B", true, {{"A", '>', 40}, {"B", ',', N}}},
        // Not a number: no limit, as when the parentheses are absent.
        ListCase{"A(x)=B()", true, {{"A", '=', N}, {"B", ',', N}}},
        // Beyond 32 bits: clamped, and the positive clamp is NO_LIMIT itself.
        ListCase{"A(99999999999),B(2147483648)", true, {{"A", ',', N}, {"B", ',', N}}},
        ListCase{"A(-99999999999)", true, {{"A", ',', 0x80000000u}}},
        ListCase{"A(-1)", true, {{"A", ',', 0xFFFFFFFFu}}},
        // /time_network reads no limits: the name keeps its parentheses.
        ListCase{"SRV1(5),SRV2", false, {{"SRV1(5)", ',', N}, {"SRV2", ',', N}}}));

TEST(ListSyntax, TakingStopsAtTheEndOfTheText) {
    char text[] = "A=";
    char* cursor = text;
    ListEntry entry;
    ASSERT_TRUE(TakeListEntry(&cursor, entry, true));
    EXPECT_STREQ(entry.name, "A");
    EXPECT_EQ(entry.separator, '=');
    EXPECT_FALSE(TakeListEntry(&cursor, entry, true));
}

TEST(DecimalArguments, ReadWithoutOverflow) {
    EXPECT_EQ(ReadDecimal("3"), 3);
    EXPECT_EQ(ReadDecimal("500"), 500);
    EXPECT_EQ(ReadDecimal("99999999999999999999"), INT32_MAX);
    EXPECT_EQ(ReadDecimal(""), 0);
    EXPECT_EQ(ReadDecimal("x"), 0);
}

}  // namespace
