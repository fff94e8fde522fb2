#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "engine/nearest.h"
#include "engine/nearest_choice.h"

namespace {

// One measured server as the rules see it; FAILED stands for a server whose
// every probe failed.
constexpr uint32_t FAILED = SAMPLE_FAILED;
struct Entry {
    std::string name;
    uint32_t averageMs;
    char separator;
    uint32_t limitMs = NO_LIMIT;
};

// Records built the way a measuring round leaves them.
class Level {
public:
    explicit Level(const std::vector<Entry>& entries) {
        for (const Entry& entry : entries) {
            names_.push_back(entry.name);
            TimedServer server{};
            server.averageMs = entry.averageMs;
            server.validSamples = entry.averageMs == FAILED ? 0 : 1;
            server.samplesTaken = 1;
            server.limitMs = entry.limitMs;
            server.separator = entry.separator;
            records_.push_back(server);
        }
        for (size_t i = 0; i < records_.size(); ++i) {
            records_[i].name = names_[i].data();
            pointers_.push_back(&records_[i]);
        }
    }
    TimedServer* const* servers() const { return pointers_.data(); }
    int count() const { return static_cast<int>(pointers_.size()); }
    std::string NameAt(int index) const { return index < 0 ? "" : names_[index]; }

private:
    std::vector<std::string> names_;
    std::vector<TimedServer> records_;
    std::vector<TimedServer*> pointers_;
};

std::string Best(const std::vector<Entry>& entries) {
    Level level(entries);
    return level.NameAt(ChooseBestServer(level.servers(), level.count()));
}

struct BestCase {
    const char* description;
    std::vector<Entry> entries;
    const char* expected;
};

TEST(ChooseBestServer, FollowsPreferencesLimitsAndOrder) {
    const std::string longName(kLongestServerName + 1, 'L');
    const std::string longestFitting(kLongestServerName, 'F');
    const BestCase cases[] = {
        {"A>B, A acceptable: B is not considered", {{"A", 40, '>'}, {"B", 10, ','}}, "A"},
        {"A>B, A never answered", {{"A", FAILED, '>'}, {"B", 10, ','}}, "B"},
        {"A(20)>B, A too slow", {{"A", 30, '>', 20}, {"B", 10, ','}}, "B"},
        {"A(30)>B, A exactly at its limit", {{"A", 30, '>', 30}, {"B", 10, ','}}, "A"},
        {"A>B>C skips the whole run", {{"A", 40, '>'}, {"B", 10, '>'}, {"C", 5, ','}}, "A"},
        {"the run ends at a plain separator",
         {{"A", 40, '>'}, {"B", 10, ','}, {"C", 5, ','}}, "C"},
        {"A>B>C with A failing: B preferred over C",
         {{"A", FAILED, '>'}, {"B", 40, '>'}, {"C", 5, ','}}, "B"},
        {"a second run is considered when its preferred server fails",
         {{"A", 40, '>'}, {"B", 10, ','}, {"C", FAILED, '>'}, {"D", 5, ','}}, "D"},
        {"A=B,C with C fastest", {{"A", 20, '='}, {"B", 30, ','}, {"C", 10, ','}}, "C"},
        {"equal averages keep the earlier", {{"A", 10, ','}, {"B", 10, ','}}, "A"},
        {"nothing answered", {{"A", FAILED, ','}, {"B", FAILED, ','}}, ""},
        {"a failed server with a limit that wraps to 0xFFFFFFFF",
         {{"A", FAILED, ',', 0xFFFFFFFFu}}, ""},
        {"all too slow", {{"A", 50, ',', 10}, {"B", 60, ',', 10}}, ""},
        {"a name with a line feed is never chosen",
         {{"Evil\nParent=x", 1, '>'}, {"B", 10, ','}}, "B"},
        {"a name with a tab is never chosen", {{"Ev\til", 1, ','}, {"B", 10, ','}}, "B"},
        {"a name with a carriage return, alone", {{"Evil\r", 1, ','}}, ""},
        {"a name of 16 characters is never chosen", {{longName, 1, '>'}, {"B", 10, ','}}, "B"},
        {"a name of 127 characters fits", {{longestFitting, 1, ','}, {"B", 10, ','}},
         longestFitting.c_str()},
        {"a name with a backslash is never chosen", {{"A\\B", 1, ','}, {"B", 10, ','}}, "B"},
    };
    for (const BestCase& c : cases) EXPECT_EQ(Best(c.entries), c.expected) << c.description;
}

// The group rule's view of the network: published client counts (absent =
// unreadable) and a calendar clock standing still.
std::map<std::string, int32_t> Counts;
std::vector<std::string> CountsAsked;
uint32_t Seconds = 0;

int32_t FakeClientCount(const char* server, void*) {
    CountsAsked.push_back(server);
    auto found = Counts.find(server);
    return found == Counts.end() ? CLIENTS_UNKNOWN : found->second;
}
uint32_t FakeSeconds(void*) { return Seconds; }
const GroupChoiceSources kFakeSources = {FakeClientCount, FakeSeconds};

struct GroupCase {
    const char* description;
    std::vector<Entry> entries;
    std::map<std::string, int32_t> counts;
    uint32_t seconds;
    const char* expected;
    std::vector<std::string> asked;
};

TEST(ChooseInEqualGroup, BalancesByClientsOrPicksAtRandom) {
    const GroupCase cases[] = {
        {"fewest clients, first on ties",
         {{"A", 10, '='}, {"B", 20, '='}, {"C", 30, ','}}, {{"A", 5}, {"B", 3}, {"C", 3}}, 0,
         "B", {"A", "B", "C"}},
        {"a best with a plain separator stands alone",
         {{"A", 20, '='}, {"B", 30, ','}, {"C", 10, ','}}, {{"A", 0}, {"B", 0}, {"C", 9}}, 0,
         "C", {}},
        {"a best with a preference mark stands alone",
         {{"A", 10, '>'}, {"B", 20, ','}}, {{"A", 9}, {"B", 0}}, 0, "A", {}},
        {"the group is found around the best",
         {{"X", 50, ','}, {"A", 20, '='}, {"B", 10, ','}, {"Y", 60, '>'}},
         {{"A", 1}, {"B", 2}, {"X", 0}, {"Y", 0}}, 0, "A", {"A", "B"}},
        {"a member that is not acceptable is not asked",
         {{"A", 10, '='}, {"B", FAILED, '='}, {"C", 30, ','}}, {{"A", 5}, {"C", 2}}, 0, "C",
         {"A", "C"}},
        {"a member with an unusable name is not asked",
         {{"A", 10, '='}, {"B\r\n", 1, '='}, {"C", 30, ','}}, {{"A", 5}, {"C", 2}}, 0, "C",
         {"A", "C"}},
        {"counts compare signed", {{"A", 10, '='}, {"B", 20, ','}}, {{"A", 3}, {"B", 2}}, 0,
         "B", {"A", "B"}},
        // A negative count would always win: it counts as unknown, and the pick
        // at time 0 (next random 38 mod 2 + 0) falls on A.
        {"a count with the top bit set is unknown", {{"A", 10, '='}, {"B", 20, ','}},
         {{"A", 3}, {"B", -5}}, 0, "A", {"A", "B"}},
        {"the lowest count with the top bit set too", {{"A", 10, '='}, {"B", 20, ','}},
         {{"A", 3}, {"B", INT32_MIN}}, 0, "A", {"A", "B"}},
        // (next random of the time mod 3 + time mod 3) mod 3: 1000 -> 2, 1001 -> 0, 1002 -> 1.
        {"unknown count, time 1000", {{"A", 10, '='}, {"B", 20, '='}, {"C", 30, ','}},
         {{"A", 5}, {"B", 3}}, 1000, "C", {"A", "B", "C"}},
        {"unknown count, time 1001", {{"A", 10, '='}, {"B", 20, '='}, {"C", 30, ','}},
         {{"A", 5}, {"B", 3}}, 1001, "A", {"A", "B", "C"}},
        {"unknown count, time 1002", {{"A", 10, '='}, {"B", 20, '='}, {"C", 30, ','}},
         {{"A", 5}, {"B", 3}}, 1002, "B", {"A", "B", "C"}},
        {"the random pick counts acceptable members only",
         {{"A", FAILED, '='}, {"B", 20, '='}, {"C", 30, '='}, {"D", 40, ','}}, {}, 1000, "D",
         {"B", "C", "D"}},
    };
    for (const GroupCase& c : cases) {
        Counts = c.counts;
        CountsAsked.clear();
        Seconds = c.seconds;
        Level level(c.entries);
        int best = ChooseBestServer(level.servers(), level.count());
        ASSERT_GE(best, 0) << c.description;
        int winner = ChooseInEqualGroup(level.servers(), level.count(), best, kFakeSources);
        EXPECT_EQ(level.NameAt(winner), c.expected) << c.description;
        EXPECT_EQ(CountsAsked, c.asked) << c.description;
    }
}

TEST(RandomSequence, IsTheClassicLinearCongruentialGenerator) {
    RandomSequence random(1);
    EXPECT_EQ(random.Next(), 41);
    EXPECT_EQ(random.Next(), 18467);
    EXPECT_EQ(random.Next(), 6334);
    EXPECT_EQ(random.Next(), 26500);
    EXPECT_EQ(RandomSequence(1000).Next(), 3304);
}

}  // namespace
