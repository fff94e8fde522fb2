// Figures for perchplan at the scale of a company: the wall time of the plan
// and of the failure table (each server failed in turn) for a generated tree
// of 60 servers over three levels, with 40 and with 200 sites. Each figure is
// the best of a few runs, minus a plan of one site and one server, so the
// start and end of the process do not count.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "harness/harness.h"

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

// The best wall time of kRuns runs; *lines receives the output's line count.
double BestMs(const std::vector<std::string>& args, size_t* lines = nullptr) {
    double best = 1e30;
    for (int run = 0; run < kRuns; ++run) {
        double start = NowMs();
        e2e::RunResult result = e2e::RunProgram(e2e::PerchplanPath(), args);
        double elapsed = NowMs() - start;
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
    double empty = BestMs({scratch.Write("one-tree.txt", "<local> Parent 0 A\n"),
                           scratch.Write("one-site.txt", "EAST A=1\n")});
    if (empty < 0) return 1;
    std::printf("perchplan, %u servers over 3 levels (a process start takes %.0f ms, "
                "subtracted)\n",
                static_cast<unsigned>(servers.size()), empty);
    for (int sites : {40, 200}) {
        std::string table = scratch.Write("sites.txt", Sites(servers, sites));
        double plan = BestMs({tree, table});
        size_t lines = 0;
        double failures = BestMs({"--failures", tree, table}, &lines);
        if (plan < 0 || failures < 0) return 1;
        std::printf("  %3d sites: plan %7.0f ms, failure table %7.0f ms (%u lines)\n", sites,
                    plan - empty, failures - empty, static_cast<unsigned>(lines));
    }
    return 0;
}
