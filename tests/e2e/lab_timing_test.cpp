// How long lab servers take to answer: the programs under test time servers
// to the millisecond, so the lab's delays must be that precise.

#include <cmath>

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
    std::vector<double> samples = TimeReads("FAST", 11, &status);
    EXPECT_EQ(status, 0u);
    for (double ms : samples) EXPECT_GE(ms, 20.0) << "answered early";
    EXPECT_GE(CountWithin(samples, 20.0, 21.0), 7u) << ::testing::PrintToString(samples);
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
        EXPECT_LT(ms, 29.0) << call.what;  // one latency, not two
    }
    DeleteFileA(local.c_str());
}

// Timing on a shared machine: a single sample may come late when the process
// is not scheduled in time, so ranges are asserted on most samples, and only
// "never early" on every one.
size_t CountWithin(const std::vector<double>& samples, double low, double high) {
    return static_cast<size_t>(std::count_if(samples.begin(), samples.end(),
                                             [&](double ms) { return ms >= low && ms < high; }));
}

TEST_F(LabTimingTest, JitterStaysInRangeAndRepeatsWithTheSeed) {
    const char* network = "server J latency=10 jitter=4 seed=42\n"
                          "string J ProductControl Probe x\n";
    Load(network);
    product::Status status = 1;
    std::vector<double> first = TimeReads("J", 10, &status);
    for (double ms : first) EXPECT_GE(ms, 10.0);
    EXPECT_GE(CountWithin(first, 10.0, 15.0), 8u);
    EXPECT_GT(*std::max_element(first.begin(), first.end()) -
                  *std::min_element(first.begin(), first.end()),
              0.9)
        << "no jitter at all";
    // Reloading the same network restarts the same sequence.
    Load(network);
    std::vector<double> again = TimeReads("J", 10, &status);
    size_t same = 0;
    for (size_t i = 0; i < first.size(); ++i) same += std::abs(first[i] - again[i]) < 0.9;
    EXPECT_GE(same, 6u) << ::testing::PrintToString(first) << "\n" << ::testing::PrintToString(again);
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

// The library must not add noticeable time of its own to a call.
TEST_F(LabTimingTest, OverheadOfACallIsSmall) {
    Load("server Z\n"
         "string Z ProductControl Probe x\n");
    product::Status status = 1;
    std::vector<double> samples = TimeReads("Z", 41, &status);
    EXPECT_EQ(status, 0u);
    double median = Median(samples);
    RecordProperty("median_overhead_us", static_cast<int>(median * 1000));
    EXPECT_LT(median, 1.0);
}

}  // namespace
