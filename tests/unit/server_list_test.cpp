#include <gtest/gtest.h>

#include <cstring>
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

// ---- Server names -----------------------------------------------------------------

struct NameCase {
    std::string name;
    NameFault fault;
    char character = 0;
};

// A server name ends up in HPD.DAT, the registry and remote paths: only what
// a Windows computer name can hold passes.
TEST(ServerNames, OnlyWhatAComputerNameCanHoldPasses) {
    std::vector<NameCase> cases = {
        {"SRV-MAD", NameFault::None},
        {"srv_01.corp", NameFault::None},
        {"A", NameFault::None},
        {"\xD1" "AND\xDA", NameFault::None},  // letters of the system code page
        {"WEB$!#&'()~", NameFault::None},
        {std::string(15, 'N'), NameFault::None},
        {std::string(127, 'N'), NameFault::None},
        {std::string(128, 'N'), NameFault::TooLong},
        {std::string(300, 'N'), NameFault::TooLong},
        {"", NameFault::Empty},
        {".HIDDEN", NameFault::LeadingPeriod, '.'},
        {"EVIL\x7F", NameFault::Character, '\x7F'},
    };
    for (char c : std::string("\\/:*?\"<>|[]+=;,% "))
        cases.push_back({std::string("A") + c + "B", NameFault::Character, c});
    for (int c = 1; c < 0x20; ++c)
        cases.push_back({std::string("A") + static_cast<char>(c), NameFault::Character,
                         static_cast<char>(c)});
    for (const NameCase& c : cases) {
        NameCheck check = CheckServerName(c.name.c_str());
        EXPECT_EQ(check.fault, c.fault) << "\"" << c.name << "\"";
        if (c.fault == NameFault::Character || c.fault == NameFault::LeadingPeriod) {
            EXPECT_EQ(check.character, static_cast<unsigned char>(c.character)) << c.name;
        }
        EXPECT_EQ(IsUsableServerName(c.name.c_str()), c.fault == NameFault::None) << c.name;
    }
}

// ---- Lists as a reply carries them ------------------------------------------------

struct ReplyCase {
    const char* what;
    std::string data;  // the bytes after the length word
    size_t told;
    std::string expected;
    bool cut;
};

// The 980 bytes of a 984-byte block between the length and type words.
std::string Filled(size_t length, const std::string& tail) {
    return std::string(length - tail.size(), 'F') + tail;
}

TEST(ReplyLists, AListCutByTheReplyLosesItsPartialLastEntry) {
    // Then ",MAD-1000": the room ends after "MAD-1", and the length word says
    // the room (as a library that cut the value tells it) or more.
    const std::string filler(974, 'F');
    const ReplyCase cases[] = {
        {"ended by its NUL", std::string("A,B\0junk", 8), 8, "A,B", false},
        {"shorter than the room, no NUL", "A,B", 3, "A,B", false},
        {"the length word shorter than the text", "ABCDEF", 3, "ABC", false},
        {"the longest whole list", Filled(979, "") + std::string(1, '\0'), 980,
         std::string(979, 'F'), false},
        {"cut inside a name", filler + ",MAD-1000", 980, filler, true},
        {"cut inside a name, a longer length word", filler + ",MAD-1000", 982, filler, true},
        {"cut right after a separator", Filled(980, ",") + "MAD", 983,
         std::string(979, 'F'), true},
        {"cut inside a limit", Filled(980, ",B(5"), 980, std::string(976, 'F'), true},
        {"cut with no separator", std::string(982, 'F'), 982, "", true},
        // Beyond the room lies the type word, the server's to choose too.
        {"a NUL beyond the room", Filled(980, ",MAD-1") + std::string("\x01\0", 2), 982,
         std::string(974, 'F'), true},
        {"separators beyond the room", Filled(980, ",MAD-1") + ",,", 982, std::string(974, 'F'),
         true},
        {"a length word of 0xFFFF", Filled(980, ",AB") + "CD", 0xFFFF, std::string(977, 'F'),
         true},
    };
    for (const ReplyCase& c : cases) {
        std::vector<unsigned char> block(c.data.begin(), c.data.end());
        char out[kListSize];
        std::memset(out, '#', sizeof out);
        size_t available = block.size() < 982 ? block.size() : 982;
        bool cut = TakeReplyList(block.data(), available, c.told, out);
        EXPECT_EQ(std::string(out), c.expected) << c.what;
        EXPECT_EQ(cut, c.cut) << c.what;
    }
}

}  // namespace
