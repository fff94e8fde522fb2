// How much time timing servers adds to what the servers themselves take:
// ProbeServer and MeasureRound in-process against the lab's stand-in library
// on a network of jitter-free servers with known latencies.
// Usage: timing_bench.exe [probes per server] [rounds]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "common/text.h"
#include "engine/timing.h"
#include "harness/harness.h"
#include "labnet/labnet.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"
#include "product/server_registry.h"

namespace {

struct Server {
    const char* name;
    int latencyMs;
};
constexpr Server kServers[] = {{"B01", 1},  {"B02", 2},  {"B05", 5},  {"B10", 10},
                               {"B15", 15}, {"B20", 20}, {"B30", 30}, {"B40", 40}};
constexpr int kTimesToAverage = 7;

// The library call timed apart from the program around it, so that the
// program's own share shows even when the machine is busy.
product::ReadServerValuesFn RealReadServerValues = nullptr;
double LibraryMs = 0;  // time spent inside the library since the last reset
product::Status WINAPI TimedReadServerValues(const char* server, const char* keyPath,
                                             uint8_t* block, uint32_t capacity,
                                             uint32_t* count) {
    double start = NowMs();
    product::Status status = RealReadServerValues(server, keyPath, block, capacity, count);
    LibraryMs += NowMs() - start;
    return status;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t index = static_cast<size_t>(p * static_cast<double>(values.size() - 1) + 0.5);
    return values[std::min(index, values.size() - 1)];
}

bool Prepare() {
    e2e::ResetProductRoot();
    std::string description = "server RAW\nlist RAW Parent 1 X\n";
    std::string list;
    for (const Server& s : kServers) {
        description += std::string("server ") + s.name + " latency=" +
                       std::to_string(s.latencyMs) + "\n";
        description += std::string("list ") + s.name + " Parent 1 NEXT1,NEXT2\n";
    }
    description += "dword <local> ProductControl TimesToAverage " +
                   std::to_string(kTimesToAverage) + "\n";
    std::string error;
    if (!lab::LoadNetwork(description, &error)) {
        std::printf("lab network: %s\n", error.c_str());
        return false;
    }
    if (!lab::RegisterProductLibrary(e2e::BuildPath("lab\\labproduct.dll"))) {
        std::printf("cannot register the lab library\n");
        return false;
    }
    if (LoadProductLibrary() != 0) {
        std::printf("cannot load the lab library\n");
        return false;
    }
    OpenProductKeys();
    RealReadServerValues = Product.ReadServerValues;
    Product.ReadServerValues = TimedReadServerValues;
    return true;
}

// Per-probe overhead: wall time of ProbeServer beyond the server's latency.
void MeasureProbes(int probesPerServer) {
    std::vector<double> overheads;
    std::vector<double> ownTimes;  // ProbeServer minus the library call
    std::vector<double> labOverruns;
    std::vector<double> rawTimes;
    int reportedOff = 0, reported = 0;
    char returned[kListSize];
    for (int i = 0; i < probesPerServer; ++i) {
        uint32_t elapsed = 0;
        double start = NowMs();
        ProbeServer("RAW", "Parent", 1, returned, &elapsed);
        rawTimes.push_back(NowMs() - start);
    }
    for (const Server& s : kServers) {
        for (int i = 0; i < probesPerServer; ++i) {
            uint32_t elapsed = 0;
            LibraryMs = 0;
            double start = NowMs();
            product::Status status = ProbeServer(s.name, "Parent", 1, returned, &elapsed);
            double wall = NowMs() - start;
            ownTimes.push_back(wall - LibraryMs);
            labOverruns.push_back(LibraryMs - s.latencyMs);
            if (status != 0) std::printf("probe of %s failed: %x\n", s.name, status);
            overheads.push_back(wall - s.latencyMs);
            ++reported;
            if (static_cast<int>(elapsed) < s.latencyMs ||
                static_cast<int>(elapsed) > s.latencyMs + 1)
                ++reportedOff;
        }
    }
    std::printf("ProbeServer, %d probes over %zu servers (1-40 ms):\n", reported,
                std::size(kServers));
    std::printf("  overhead beyond the latency: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                Percentile(overheads, 0.5), Percentile(overheads, 0.99),
                Percentile(overheads, 1.0));
    std::printf("  of which the program's own (outside the library call): median %.4f ms, "
                "p99 %.4f ms\n",
                Percentile(ownTimes, 0.5), Percentile(ownTimes, 0.99));
    std::printf("  of which the lab library's overrun of the latency: median %.3f ms, "
                "p99 %.3f ms\n",
                Percentile(labOverruns, 0.5), Percentile(labOverruns, 0.99));
    std::printf("  a server without latency (library work alone): median %.3f ms, p99 %.3f ms\n",
                Percentile(rawTimes, 0.5), Percentile(rawTimes, 0.99));
    std::printf("  reported elapsed outside [latency, latency+1]: %d of %d\n", reportedOff,
                reported);
}

// Whole rounds: every average against its latency, and the round's wall time
// against the sum of the latencies of the probes it made.
void MeasureRounds(int rounds) {
    std::string list;
    int sumOfLatencies = 0;
    for (const Server& s : kServers) {
        if (!list.empty()) list += ',';
        list += s.name;
        sumOfLatencies += s.latencyMs * kTimesToAverage;
    }
    sumOfLatencies += kServers[0].latencyMs;  // the warm-up probe of a first round
    std::vector<double> excess;
    std::vector<double> ownExcess;  // the round's time outside the library calls
    int worstAverageError = 0;
    int averagesOff = 0, averages = 0;
    for (int r = 0; r < rounds; ++r) {
        char text[kListSize];
        CopyText(text, list);
        LibraryMs = 0;
        double start = NowMs();
        MeasuredRound round = MeasureRound(text, "Parent", 1, true);
        double wall = NowMs() - start;
        excess.push_back(100.0 * (wall - sumOfLatencies) / sumOfLatencies);
        ownExcess.push_back(100.0 * (wall - LibraryMs) / sumOfLatencies);
        for (int i = 0; i < round.count; ++i) {
            int error = static_cast<int>(round.servers[i]->averageMs) - kServers[i].latencyMs;
            if (std::abs(error) > std::abs(worstAverageError)) worstAverageError = error;
            ++averages;
            if (std::abs(error) > 1) ++averagesOff;
        }
        FreeRound(round);
    }
    std::printf("MeasureRound, %d rounds of %zu servers x %d samples (sum of latencies %d ms):\n",
                rounds, std::size(kServers), kTimesToAverage, sumOfLatencies);
    std::printf("  time above the sum: median %.2f %%, worst %.2f %%\n", Percentile(excess, 0.5),
                Percentile(excess, 1.0));
    std::printf("  of which the program's own (outside the library calls): median %.3f %%, "
                "worst %.3f %%\n",
                Percentile(ownExcess, 0.5), Percentile(ownExcess, 1.0));
    std::printf("  averages more than 1 ms off: %d of %d (largest error %+d ms)\n", averagesOff,
                averages, worstAverageError);
}

}  // namespace

int main(int argc, char** argv) {
    int probes = argc > 1 ? std::atoi(argv[1]) : 50;
    int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    if (probes < 1) probes = 1;
    if (rounds < 1) rounds = 1;
    if (!Prepare()) return 1;
    ShowDetail = 0;
    MeasureProbes(probes);
    MeasureRounds(rounds);
    CloseProductKeys();
    lab::ResetNetwork();
    e2e::RemoveProductRoot();
    return 0;
}
