#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/timing.h"
#include "engine_fakes.h"
#include "product/server_registry.h"

namespace {

using engine_test::SavedTables;
using engine_test::ScratchKey;

// ---- AverageSamples -------------------------------------------------------------

struct AverageCase {
    std::vector<uint32_t> samples;
    uint32_t average;
    int32_t valid;
};

class Averaging : public ::testing::TestWithParam<AverageCase> {};

TEST_P(Averaging, RoundsAboveHalfAndSkipsFailures) {
    const AverageCase& c = GetParam();
    std::vector<uint32_t> samples = c.samples;
    TimedServer record{};
    record.samples = samples.data();
    record.samplesTaken = static_cast<int32_t>(samples.size());
    record.validSamples = 99;
    AverageSamples(record);
    EXPECT_EQ(record.averageMs, c.average);
    EXPECT_EQ(record.validSamples, c.valid);
}

constexpr uint32_t F = SAMPLE_FAILED;

INSTANTIATE_TEST_SUITE_P(
    Samples, Averaging,
    ::testing::Values(AverageCase{{10, 11}, 10, 2},          // exact half: not rounded up
                      AverageCase{{10, 11, 11}, 11, 3},      // 32/3: remainder 2 > 1.5
                      AverageCase{{10, 10, 11}, 10, 3},      // remainder 1 < 1.5
                      AverageCase{{5, F, 7}, 6, 2},
                      AverageCase{{F, F}, F, 0},
                      AverageCase{{}, F, 0},
                      AverageCase{{0xFFFFFFFFu}, 0xFFFFFFFFu, 1}));

// ---- A fake product library -----------------------------------------------------

struct Reply {
    product::Status status = 0;
    std::string data;        // copied after the 16-bit length
    int lengthField = -1;    // the 16-bit length claimed; -1: data.size()
    bool fillBlock = false;  // write all 984 bytes, whatever the length says
};

struct Call {
    std::string server;
    std::string keyPath;
    std::string valueName;
    uint32_t capacity;
};

std::map<std::string, Reply> Replies;
std::vector<Call> Calls;

product::Status WINAPI FakeReadServerValues(const char* server, const char* keyPath,
                                            uint8_t* block, uint32_t capacity,
                                            uint32_t* count) {
    Calls.push_back({server, keyPath, reinterpret_cast<const char*>(block), capacity});
    auto found = Replies.find(server);
    Reply reply = found == Replies.end() ? Reply{product::kCommTimeout, ""} : found->second;
    if (reply.status) return reply.status;
    uint32_t room = capacity ? capacity : product::kListBlockSize;
    if (reply.fillBlock) std::memset(block, 'x', room);
    uint16_t length = static_cast<uint16_t>(
        reply.lengthField >= 0 ? reply.lengthField : static_cast<int>(reply.data.size()));
    std::memcpy(block, &length, sizeof length);
    std::memcpy(block + 2, reply.data.data(), std::min<size_t>(reply.data.size(), room - 2));
    return 0;
}

class Timing : public ::testing::Test {
protected:
    void SetUp() override {
        Replies.clear();
        Calls.clear();
        Product.ReadServerValues = FakeReadServerValues;
        Product.GetDwordValue = engine_test::RegistryGetDword;
        Keys.ProductControl = control_.get();
    }
    void SetTimesToAverage(DWORD times) { control_.SetDword("TimesToAverage", times); }
    std::vector<std::string> CalledServers() const {
        std::vector<std::string> servers;
        for (const Call& call : Calls) servers.push_back(call.server);
        return servers;
    }

    SavedTables saved_;
    ScratchKey control_{"Timing"};
};

// ---- ProbeServer ---------------------------------------------------------------

TEST_F(Timing, ProbeAsksForTheNextLevelListOfTheRoleInTheFullBlock) {
    Replies["S1"] = {0, std::string("A,B>C\0", 6)};
    char list[kListSize];
    uint32_t elapsed = 12345;
    EXPECT_EQ(ProbeServer("S1", "Parent", 1, list, &elapsed), 0u);
    EXPECT_STREQ(list, "A,B>C");
    EXPECT_LT(elapsed, 1000u);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].keyPath, "ProductControl");
    EXPECT_EQ(Calls[0].valueName, "RoamManagingParentLevel1");
    EXPECT_EQ(Calls[0].capacity, 0u);  // 0: the whole 984-byte list block
}

struct BoundCase {
    const char* what;
    Reply reply;
    size_t expectedLength;
};

class ProbeBounds : public Timing, public ::testing::WithParamInterface<BoundCase> {};

TEST_P(ProbeBounds, CopyNeverExceedsTheBlockData) {
    const BoundCase& c = GetParam();
    Replies["S"] = c.reply;
    // The caller's 1024 bytes followed by a guard that must stay untouched.
    struct {
        char list[kListSize];
        char guard[64];
    } buffer;
    std::memset(&buffer, '#', sizeof buffer);
    uint32_t elapsed = 0;
    EXPECT_EQ(ProbeServer("S", "HPD", 3, buffer.list, &elapsed), 0u) << c.what;
    EXPECT_EQ(strnlen(buffer.list, sizeof buffer.list), c.expectedLength) << c.what;
    EXPECT_EQ(std::string(buffer.guard, sizeof buffer.guard), std::string(64, '#')) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Replies, ProbeBounds,
    ::testing::Values(
        // A list that runs past the value's room keeps its entries before the
        // last separator there, whatever the length claims.
        BoundCase{"length 0xFFFF over a full block", {0, std::string(500, 'y') + ",", 0xFFFF, true},
                  500},
        BoundCase{"length 1000 over a full block", {0, std::string(600, 'y') + ",", 1000, true},
                  600},
        BoundCase{"the block's 982 data bytes", {0, std::string(900, 'y') + "," + std::string(81, 'z')},
                  900},
        BoundCase{"the longest whole list", {0, std::string(979, 'y') + std::string(1, '\0')}, 979},
        BoundCase{"length 0", {0, "ignored", 0}, 0},
        BoundCase{"length shorter than the text", {0, "ABCDEF", 3}, 3}));

TEST_F(Timing, FailedOrImpossibleProbeLeavesAnEmptyListAndStillTimes) {
    char list[kListSize] = "stale";
    uint32_t elapsed = 12345;
    EXPECT_EQ(ProbeServer("NOBODY", "Parent", 1, list, &elapsed), product::kCommTimeout);
    EXPECT_STREQ(list, "");
    EXPECT_LT(elapsed, 1000u);

    Product.ReadServerValues = nullptr;
    CopyText(list, "stale");
    elapsed = 12345;
    EXPECT_EQ(ProbeServer("S", "Parent", 1, list, &elapsed), product::kLibraryUnavailable);
    EXPECT_STREQ(list, "");
    EXPECT_LT(elapsed, 1000u);
}

// ---- MeasureRound --------------------------------------------------------------

TEST_F(Timing, RoundSamplesServerMajorAfterOneWarmUp) {
    SetTimesToAverage(3);
    Replies["A"] = {0, std::string("X1,X2\0", 6)};
    Replies["C"] = {0, std::string("Y\0", 2)};
    char list[] = "A(300)=B,C";
    MeasuredRound round = MeasureRound(list, "Parent", 2, true);

    EXPECT_EQ(CalledServers(),
              (std::vector<std::string>{"A", "A", "B", "C", "A", "B", "C", "A", "B", "C"}));
    for (const Call& call : Calls) EXPECT_EQ(call.valueName, "RoamManagingParentLevel2");
    ASSERT_EQ(round.count, 3);
    EXPECT_EQ(round.status, 0u);  // C answered last
    const TimedServer& a = *round.servers[0];
    const TimedServer& b = *round.servers[1];
    const TimedServer& c = *round.servers[2];
    EXPECT_STREQ(a.name, "A");
    EXPECT_EQ(a.limitMs, 300u);
    EXPECT_EQ(a.separator, '=');
    EXPECT_EQ(a.samplesTaken, 3);
    EXPECT_EQ(a.validSamples, 3);
    EXPECT_LT(a.averageMs, 1000u);
    EXPECT_STREQ(a.returnedList, "X1,X2");
    EXPECT_EQ(b.limitMs, NO_LIMIT);
    EXPECT_EQ(b.validSamples, 0);
    EXPECT_EQ(b.averageMs, SAMPLE_FAILED);
    for (int j = 0; j < 3; ++j) EXPECT_EQ(b.samples[j], SAMPLE_FAILED);
    EXPECT_STREQ(b.returnedList, "");
    EXPECT_STREQ(c.returnedList, "Y");
    FreeRound(round);
    EXPECT_EQ(round.servers, nullptr);
    EXPECT_EQ(round.count, 0);
}

TEST_F(Timing, FailedProbeKeepsTheListOfAnEarlierSuccess) {
    SetTimesToAverage(2);
    Replies["A"] = {0, std::string("NEXT\0", 5)};
    char list[] = "A";
    // The second sample fails: the list of the first stays.
    struct FlipAfterFirst {
        static product::Status WINAPI Read(const char* server, const char* keyPath,
                                           uint8_t* block, uint32_t capacity,
                                           uint32_t* count) {
            product::Status status =
                FakeReadServerValues(server, keyPath, block, capacity, count);
            Replies["A"].status = product::kCommLost;
            return status;
        }
    };
    Product.ReadServerValues = FlipAfterFirst::Read;
    MeasuredRound round = MeasureRound(list, "Parent", 1, false);
    ASSERT_EQ(round.count, 1);
    EXPECT_EQ(round.status, product::kCommLost);
    EXPECT_STREQ(round.servers[0]->returnedList, "NEXT");
    EXPECT_EQ(round.servers[0]->validSamples, 1);
    FreeRound(round);
}

TEST_F(Timing, NoSamplesLeavesOnlyTheWarmUp) {
    for (DWORD times : {0u, 0xFFFFFFFFu}) {
        SetTimesToAverage(times);
        Calls.clear();
        char list[] = "A,DOWN";
        MeasuredRound round = MeasureRound(list, "KPZ", 1, true);
        EXPECT_EQ(CalledServers(), std::vector<std::string>{"A"}) << times;
        EXPECT_EQ(round.status, product::kCommTimeout) << "A has no reply: the warm-up fails";
        ASSERT_EQ(round.count, 2);
        for (int i = 0; i < 2; ++i) EXPECT_EQ(round.servers[i]->averageMs, SAMPLE_FAILED);
        FreeRound(round);
    }
}

TEST_F(Timing, SamplesThatCannotBeAllocatedEndTheRoundCleanly) {
    SetTimesToAverage(0x7FFFFFFF);
    Replies["A"] = {0, "L"};
    char list[] = "A,B";
    MeasuredRound round = MeasureRound(list, "Parent", 1, true);
    EXPECT_EQ(round.status, product::kOutOfMemory);
    EXPECT_EQ(round.count, 0);
    EXPECT_EQ(round.servers, nullptr);
    EXPECT_TRUE(Calls.empty());
    FreeRound(round);

    EXPECT_EQ(TimeNetwork("A,B", "5", "0"), product::kOutOfMemory);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(Timing, EmptyListMakesNoRecordsAndNoProbe) {
    char list[] = "";
    MeasuredRound round = MeasureRound(list, "Parent", 1, true);
    EXPECT_EQ(round.count, 0);
    EXPECT_EQ(round.status, 0u);
    EXPECT_TRUE(Calls.empty());
    FreeRound(round);
}

// ---- TimeNetwork ---------------------------------------------------------------

TEST_F(Timing, TimeNetworkWithZeroSecondsProbesNothing) {
    Replies["A"] = {0, "L"};
    EXPECT_EQ(TimeNetwork("A,B", "0", "0"), 0u);
    EXPECT_TRUE(Calls.empty());
}

TEST_F(Timing, TimeNetworkWithAnEmptyListReturnsAtOnce) {
    DWORD start = GetTickCount();
    EXPECT_EQ(TimeNetwork("", "30", "0"), 0u);
    EXPECT_LT(GetTickCount() - start, 5000u);
}

TEST_F(Timing, TimeNetworkProbesWholeNamesAtLevelZeroAndReturnsTheLastCode) {
    SetTimesToAverage(2);
    Replies["S(5)"] = {0, "L"};
    Replies["DOWN"] = {product::kCommRefused, ""};
    // Two seconds give at least one whole pass whatever the second's phase.
    EXPECT_EQ(TimeNetwork("S(5)>DOWN", "2", "200"), product::kCommRefused);
    ASSERT_GE(Calls.size(), 4u);
    EXPECT_EQ(Calls.size() % 4, 0u) << "passes are whole";
    EXPECT_EQ(Calls[0].server, "S(5)");
    EXPECT_EQ(Calls[1].server, "DOWN");
    EXPECT_EQ(Calls[0].valueName, "RoamManagingParentLevel0");
}

}  // namespace
