// Figures for perchplan at the scale of a company: the wall time of the plan
// and of the failure table (each server failed in turn) for a generated tree
// of 60 servers over three levels, with 40, 200 and 1000 sites, and the most
// memory the failure table takes. Each time is the best of a few runs, minus
// a plan of one site and one server, so the start and end of the process do
// not count; the memory is the peak resident size of the process, Wine's own
// share with it (Wine answers no memory figures of another process, so it is
// read from Linux's /proc while the process runs).

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "harness/harness.h"
#include "process_figures.h"

namespace {

constexpr int kRuns = 5;
constexpr int kRegions = 4;         // level 1
constexpr int kPerRegion = 4;       // level 2: 16 servers
constexpr int kLeavesPerServer = 2; // level 3: 40 servers over 16 groups
constexpr int kLeaves = 40;
constexpr uint32_t kSeed = 20;

std::string Name(const char* prefix, int number) { return prefix + std::to_string(number); }

// Level 1 the regions, level 2 their servers, level 3 "=" groups of leaves
// (the leaves spread over the 16 level-2 servers, two or three each).
std::string Tree(std::vector<std::string>* servers) {
    std::string tree = "<local> Parent 0 ";
    for (int r = 0; r < kRegions; ++r) {
        if (r) tree += ',';
        tree += Name("REG", r);
        servers->push_back(Name("REG", r));
    }
    tree += '\n';
    int leaf = 0;
    for (int r = 0; r < kRegions; ++r) {
        tree += Name("REG", r) + " Parent 1 ";
        for (int m = 0; m < kPerRegion; ++m) {
            if (m) tree += ',';
            tree += Name("MID", r * kPerRegion + m);
        }
        tree += '\n';
    }
    for (int m = 0; m < kRegions * kPerRegion; ++m) {
        servers->push_back(Name("MID", m));
        int count = kLeavesPerServer + (m < kLeaves - kRegions * kPerRegion * kLeavesPerServer);
        tree += Name("MID", m) + " Parent 2 ";
        for (int l = 0; l < count; ++l, ++leaf) {
            if (l) tree += '=';
            tree += Name("LEAF", leaf);
            servers->push_back(Name("LEAF", leaf));
        }
        tree += '\n';
    }
    return tree;
}

std::string Sites(const std::vector<std::string>& servers, int sites) {
    std::mt19937 random(kSeed);
    std::string table;
    for (int s = 0; s < sites; ++s) {
        table += Name("SITE", s) + " " + std::to_string(5 + random() % 300);
        for (const std::string& server : servers)
            table += ' ' + server + '=' +
                     (random() % 20 == 0 ? std::string("down") : std::to_string(2 + random() % 200));
        table += '\n';
    }
    table += "clients";
    for (const std::string& server : servers) table += ' ' + server + '=' + std::to_string(random() % 500);
    return table + '\n';
}

// The peak resident size of perchplan's process, sampled until it ends.
struct PeakWatch {
    volatile LONG running = 1;
    double peakMb = 0;

    static DWORD WINAPI Sample(void* context) {
        auto& watch = *static_cast<PeakWatch*>(context);
        std::string process;
        while (watch.running) {
            if (process.empty()) process = figures::FindUnixProcess("perchplan.exe");
            double peak = process.empty() ? -1 : figures::UnixStatusMb(process, "VmHWM");
            if (peak > watch.peakMb) watch.peakMb = peak;
            if (peak < 0) process.clear();
            Sleep(10);
        }
        return 0;
    }
};

// The best wall time of kRuns runs; *lines receives the output's line count
// and *peakMb the most memory one run took.
double BestMs(const std::vector<std::string>& args, size_t* lines = nullptr,
              double* peakMb = nullptr) {
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        PeakWatch watch;
        HANDLE sampler = peakMb ? CreateThread(nullptr, 0, PeakWatch::Sample, &watch, 0, nullptr)
                                : nullptr;
        double start = NowMs();
        e2e::RunResult result = e2e::RunProgram(e2e::PerchplanPath(), args);
        double elapsed = NowMs() - start;
        if (sampler) {
            InterlockedExchange(&watch.running, 0);
            WaitForSingleObject(sampler, INFINITE);
            CloseHandle(sampler);
            *peakMb = std::max(*peakMb, watch.peakMb);
        }
        if (!result.finished || result.exitCode == 2) {
            std::fprintf(stderr, "perchplan did not plan: %s\n", e2e::Describe(result).c_str());
            return -1;
        }
        if (elapsed < best) best = elapsed;
        if (lines) *lines = static_cast<size_t>(std::count(result.out.begin(), result.out.end(), '\n'));
    }
    return best;
}

}  // namespace

int main() {
    e2e::ScratchFolder scratch("planner_bench");
    std::vector<std::string> servers;
    std::string tree = scratch.Write("tree.txt", Tree(&servers));
    double emptyPeakMb = 0;
    double empty = BestMs({scratch.Write("one-tree.txt", "<local> Parent 0 A\n"),
                           scratch.Write("one-site.txt", "EAST A=1\n")},
                          nullptr, &emptyPeakMb);
    if (empty < 0) return 1;
    std::printf("perchplan, %u servers over 3 levels (a process start takes %.0f ms, "
                "subtracted, and %.1f MB resident)\n",
                static_cast<unsigned>(servers.size()), empty, emptyPeakMb);
    for (int sites : {40, 200, 1000}) {
        std::string table = scratch.Write("sites.txt", Sites(servers, sites));
        double plan = BestMs({tree, table});
        size_t lines = 0;
        double peakMb = 0;
        double failures = BestMs({"--failures", tree, table}, &lines, &peakMb);
        if (plan < 0 || failures < 0) return 1;
        std::printf("  %4d sites: plan %7.0f ms, failure table %7.0f ms (%u lines, at most "
                    "%.1f MB resident)\n",
                    sites, plan - empty, failures - empty, static_cast<unsigned>(lines), peakMb);
    }
    return 0;
}
