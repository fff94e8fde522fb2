// How long lab servers take to answer: the programs under test time servers
// to the millisecond, so the lab's delays must be that precise.

#include <cmath>

#include "common/handles.h"
#include "lab_fixture.h"

namespace {

size_t CountWithin(const std::vector<double>& samples, double low, double high);

class LabTimingTest : public LabTest {
protected:
    // Times n reads of ProductControl\Probe on server.
    std::vector<double> TimeReads(const char* server, int n, product::Status* status) {
        std::vector<double> samples;
        std::vector<uint8_t> block;
        for (int i = 0; i < n; ++i) {
            double start = NowMs();
            *status = Read(server, "ProductControl", "Probe", &block);
            samples.push_back(NowMs() - start);
        }
        return samples;
    }
};

TEST_F(LabTimingTest, LatencyIsKeptToTheMillisecond) {
    Load("server FAST latency=20\n"
         "string FAST ProductControl Probe x\n");
    product::Status status = 1;
    std::vector<double> samples = TimeReads("FAST", 15, &status);
    EXPECT_EQ(status, 0u);
    for (double ms : samples) EXPECT_GE(ms, 20.0) << "answered early";
    // A busy machine delays some answers; a late library delays all of them.
    EXPECT_GE(CountWithin(samples, 20.0, 21.0), 4u) << ::testing::PrintToString(samples);
}

TEST_F(LabTimingTest, EveryKindOfCallCostsOneLatency) {
    Load("server S latency=15\n"
         "string S ProductControl Probe x\n"
         "file S $\\f.txt hello\n");
    char listing[product::kListingSize];
    uint32_t more = 0, count = 0;
    uint8_t block[product::kSingleBlockSize] = {};
    uint32_t used = 0;
    DWORD one = 1;
    lib_.AddValueToBlock(block, "good", REG_DWORD, 4, &one, &used);
    std::string local = lab::FileArea("S") + "-copy.txt";

    struct Call {
        const char* what;
        std::function<product::Status()> run;
    };
    const Call calls[] = {
        {"enum keys", [&] { return lib_.EnumServerSubKeys("S", "", listing, sizeof listing, &more, &count); }},
        {"enum values", [&] { return lib_.EnumServerValues("S", "ProductControl", listing, sizeof listing, &more, &count); }},
        {"write", [&] { return lib_.WriteServerValues("S", "Clients\\me", 1, block, used); }},
        {"delete value", [&] { return lib_.DeleteServerValue("S", "Clients\\me", "good"); }},
        {"delete key", [&] { return lib_.DeleteServerKey("S", "Clients"); }},
        {"copy", [&] { return lib_.RemoteFileCopy("S", "$\\f.txt", 0, local.c_str(), 1); }},
    };
    for (const Call& call : calls) {
        double start = NowMs();
        EXPECT_EQ(call.run(), 0u) << call.what;
        double ms = NowMs() - start;
        EXPECT_GE(ms, 15.0) << call.what;
    }
    DeleteFileA(local.c_str());
}

// Timing on a shared machine: scheduling only ever adds time, so a sample is
// asserted never to be early, and ranges are asserted on some samples only.
size_t CountWithin(const std::vector<double>& samples, double low, double high) {
    return static_cast<size_t>(std::count_if(samples.begin(), samples.end(),
                                             [&](double ms) { return ms >= low && ms < high; }));
}

std::vector<double> LowerEnvelope(const std::vector<std::vector<double>>& runs) {
    std::vector<double> low = runs.front();
    for (const std::vector<double>& run : runs)
        for (size_t i = 0; i < low.size(); ++i) low[i] = std::min(low[i], run[i]);
    return low;
}

TEST_F(LabTimingTest, JitterStaysInRangeAndRepeatsWithTheSeed) {
    const char* network = "server J latency=10 jitter=4 seed=42\n"
                          "string J ProductControl Probe x\n";
    // Six runs of the same sequence (a reload restarts it); the lower
    // envelope of three runs is free of nearly all scheduling delays.
    std::vector<std::vector<double>> runs;
    product::Status status = 1;
    for (int run = 0; run < 6; ++run) {
        Load(network);
        runs.push_back(TimeReads("J", 10, &status));
        for (double ms : runs.back()) EXPECT_GE(ms, 10.0) << "answered early";
    }
    std::vector<double> first = LowerEnvelope({runs[0], runs[2], runs[4]});
    std::vector<double> second = LowerEnvelope({runs[1], runs[3], runs[5]});
    EXPECT_GE(CountWithin(first, 10.0, 15.0), 8u) << ::testing::PrintToString(first);
    EXPECT_GT(*std::max_element(first.begin(), first.end()) -
                  *std::min_element(first.begin(), first.end()),
              0.9)
        << "no jitter at all";
    size_t same = 0;
    for (size_t i = 0; i < first.size(); ++i) same += std::abs(first[i] - second[i]) < 0.9;
    EXPECT_GE(same, 8u) << ::testing::PrintToString(first) << "\n"
                        << ::testing::PrintToString(second);
}

TEST_F(LabTimingTest, UnreachableServersAnswerTheirStatusAfterTheirTimeout) {
    Load("server DOWN down timeout=60\n"
         "server REFUSING down timeout=30 status=0x4000000C\n"
         "lab unknown-delay=40\n");
    struct Case {
        const char* server;
        product::Status status;
        double ms;
    };
    const Case cases[] = {
        {"DOWN", product::kCommTimeout, 60},
        {"down", product::kCommTimeout, 60},  // names match without regard to case
        {"REFUSING", product::kCommRefused, 30},
        {"NOBODY", product::kCommTimeout, 40},
        {"BAD\\NAME", product::kCommTimeout, 40},
        {"", product::kCommTimeout, 40},
    };
    for (const Case& c : cases) {
        product::Status status = 0;
        std::vector<double> samples = TimeReads(c.server, 1, &status);
        EXPECT_EQ(status, c.status) << c.server;
        EXPECT_GE(samples[0], c.ms) << c.server;
        EXPECT_LT(samples[0], c.ms + 15) << c.server;
    }
}

TEST_F(LabTimingTest, ChangesToTheNetworkReachALoadedLibrary) {
    Load("server S latency=0\n"
         "string S ProductControl Probe x\n");
    std::vector<uint8_t> block;
    EXPECT_EQ(Read("S", "ProductControl", "Probe", &block), 0u);
    ASSERT_TRUE(lab::SetBehaviour("S", "Down", 1));
    ASSERT_TRUE(lab::SetBehaviour("S", "TimeoutMs", 0));
    EXPECT_EQ(Read("S", "ProductControl", "Probe", &block), product::kCommTimeout);
    ASSERT_TRUE(lab::SetBehaviour("S", "Down", 0));
    EXPECT_EQ(Read("S", "ProductControl", "Probe", &block), 0u);
}

// The library must not add noticeable time of its own to a call. Registry
// calls under Wine are round trips to the Wine server, whose speed depends on
// the machine's load, so the overhead is measured in such round trips: a read
// makes four (the network's generation, open, query, close); one that
// reloaded the server's behaviour every time would make sixteen.
TEST_F(LabTimingTest, OverheadOfACallIsAFewRegistryRoundTrips) {
    Load("server Z\n"
         "string Z ProductControl Probe x\n");
    RegKey labKey;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\PerchmanLab", 0, KEY_QUERY_VALUE,
                            labKey.put()),
              ERROR_SUCCESS);
    std::vector<double> reads, roundTrips;
    std::vector<uint8_t> block;
    for (int i = 0; i < 41; ++i) {
        double start = NowMs();
        EXPECT_EQ(Read("Z", "ProductControl", "Probe", &block), 0u);
        reads.push_back(NowMs() - start);
        DWORD value = 0, size = sizeof value;
        start = NowMs();
        RegQueryValueExA(labKey.get(), "Generation", nullptr, nullptr,
                         reinterpret_cast<BYTE*>(&value), &size);
        roundTrips.push_back(NowMs() - start);
    }
    RecordProperty("median_read_us", static_cast<int>(Median(reads) * 1000));
    RecordProperty("median_round_trip_us", static_cast<int>(Median(roundTrips) * 1000));
    EXPECT_LT(Median(reads), 12 * Median(roundTrips) + 0.05)
        << "read " << Median(reads) << " ms, round trip " << Median(roundTrips) << " ms";
}

}  // namespace
