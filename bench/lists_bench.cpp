// Figures for /import and /export through the real program against the lab:
//  - import of a 10,000-line file (local and server lines): lines per second;
//  - export of a network of 100 servers over three levels: wall time against
//    the sum of the latencies of the servers it asks.
// Each figure takes the best of a few runs and subtracts the same command run
// against an empty network, so the start and end of the process do not count.

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "harness/harness.h"
#include "labnet/labnet.h"

namespace {

constexpr int kRuns = 5;

bool Load(const std::string& description) {
    std::string error;
    if (lab::LoadNetwork(description, &error)) return true;
    std::fprintf(stderr, "lab network: %s\n", error.c_str());
    return false;
}

// Best wall time of kRuns runs of perchman with args, each after prepare();
// *out receives the standard output of that run.
template <typename Prepare>
double BestRunMs(const std::vector<std::string>& args, Prepare prepare,
                 std::string* out = nullptr) {
    double best = 1e300;
    for (int i = 0; i < kRuns; ++i) {
        if (!prepare()) return -1;
        double start = NowMs();
        e2e::RunResult result = e2e::RunPerchman(args);
        double elapsed = NowMs() - start;
        if (!result.finished) {
            std::fprintf(stderr, "perchman did not finish: %s\n", e2e::Describe(result).c_str());
            return -1;
        }
        if (elapsed < best) {
            best = elapsed;
            if (out) *out = result.out;
        }
    }
    return best;
}

std::string TempPath(const char* leaf) {
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    return std::string(directory) + leaf;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    return std::fclose(file) == 0;
}

const char* const kRoles[] = {"Parent", "Quarantine", "Alerts", "HPD", "WDR", "KPZ"};

void BenchImport() {
    constexpr int kLines = 10000;
    constexpr int kServers = 50;
    char line[128];
    std::string servers;
    for (int i = 0; i < kServers; ++i) {
        std::snprintf(line, sizeof line, "server B%d\n", i);
        servers += line;
    }

    // One local line in ten, the others to the servers in turn.
    std::string text;
    for (int i = 0; i < kLines; ++i) {
        const char* role = kRoles[i % 6];
        if (i % 10 == 0)
            std::snprintf(line, sizeof line, "<local> %s 0 B1,B2>B3=B4(500)\n", role);
        else
            std::snprintf(line, sizeof line, "B%d %s %d B%d,B%d\n", i % kServers, role,
                          1 + i % 3, i % 7, i % 11);
        text += line;
    }
    // The same number of lines, each refused: what printing one line costs.
    std::string refused;
    for (int i = 0; i < kLines; ++i) refused += "<local> Parent 0 a,,b\n";

    std::string file = TempPath("perchman_bench_import.txt");
    std::string malformed = TempPath("perchman_bench_malformed.txt");
    std::string empty = TempPath("perchman_bench_empty.txt");
    if (!WriteFile(file, text) || !WriteFile(malformed, refused) || !WriteFile(empty, ""))
        return;

    auto prepare = [&] { return Load(servers); };
    double full = BestRunMs({"/import", file}, prepare);
    double printing = BestRunMs({"/import", malformed}, prepare);
    double baseline = BestRunMs({"/import", empty}, prepare);
    DeleteFileA(file.c_str());
    DeleteFileA(malformed.c_str());
    DeleteFileA(empty.c_str());
    if (full < 0 || printing < 0 || baseline < 0) return;
    double importMs = full - baseline;
    std::printf("import: %d lines (%d local, %d to %d servers)\n", kLines, kLines / 10,
                kLines - kLines / 10, kServers);
    std::printf("  run %.0f ms, empty-file run %.0f ms, import %.0f ms\n", full, baseline,
                importMs);
    std::printf("  %.0f lines per second\n", kLines * 1000.0 / importMs);
    std::printf("  %d refused lines (one message each, nothing applied): %.0f ms, "
                "%.0f lines per second\n",
                kLines, printing - baseline, kLines * 1000.0 / (printing - baseline));
}

// 4 servers at level 1, 8 below each at level 2, 2 below each of those at
// level 3: 100 servers, each asked once. Latencies 10 to 30 ms, or all 0.
std::string ExportNetwork(bool zeroLatency, long* latencySum, int* servers) {
    std::string network;
    std::string local;
    int number = 0;
    *latencySum = 0;
    char text[256];
    auto add = [&](const char* name) {
        int latency = zeroLatency ? 0 : 10 + (number * 7) % 21;
        ++number;
        *latencySum += latency;
        std::snprintf(text, sizeof text, "server %s latency=%d\n", name, latency);
        network += text;
    };
    for (int a = 0; a < 4; ++a) {
        char first[32];
        std::snprintf(first, sizeof first, "L1_%d", a);
        add(first);
        if (a) local += ',';
        local += first;
        std::string below;
        for (int b = 0; b < 8; ++b) {
            char second[32], third0[40], third1[40];
            std::snprintf(second, sizeof second, "%s_%d", first, b);
            std::snprintf(third0, sizeof third0, "%s_0", second);
            std::snprintf(third1, sizeof third1, "%s_1", second);
            add(second);
            add(third0);
            add(third1);
            if (b) below += ',';
            below += second;
            std::snprintf(text, sizeof text, "list %s Parent 2 %s,%s\n", second, third0, third1);
            network += text;
        }
        network += "list ";
        network += first;
        network += " Parent 1 ";
        network += below;
        network += '\n';
    }
    network += "list <local> Parent 0 ";
    network += local;
    network += '\n';
    *servers = number;
    return network;
}

void BenchExport() {
    long latencySum = 0, zero = 0;
    int servers = 0;
    std::string network = ExportNetwork(false, &latencySum, &servers);
    std::string instant = ExportNetwork(true, &zero, &servers);
    std::string emptyNetwork = "server NOBODY\n";

    // The console form: every line then carries the time its probe took.
    std::string report;
    double full = BestRunMs({"/export"}, [&] { return Load(network); }, &report);
    double noLatency = BestRunMs({"/export"}, [&] { return Load(instant); });
    double baseline = BestRunMs({"/export"}, [&] { return Load(emptyNetwork); });
    if (full < 0 || noLatency < 0 || baseline < 0) return;
    long probeMs = 0;
    int probes = 0;
    for (size_t at = report.find("lapso "); at != std::string::npos;
         at = report.find("lapso ", at + 1)) {
        probeMs += std::atol(report.c_str() + at + 6);
        ++probes;
    }
    double exportMs = full - baseline;
    std::printf("export: %d servers over three levels, one probe each (console form)\n",
                servers);
    std::printf("  run %.0f ms, same network without latency %.0f ms, empty network %.0f ms\n",
                full, noLatency, baseline);
    std::printf("  export %.0f ms against a sum of latencies of %ld ms: %.1f%% above "
                "(target: within 5%%)\n",
                exportMs, latencySum, (exportMs - latencySum) * 100.0 / latencySum);
    std::printf("  the %d probes themselves, as the report times them: %ld ms, %.1f%% above\n",
                probes, probeMs, (probeMs - latencySum) * 100.0 / latencySum);
    std::printf("  cost of one server besides its latency: %.2f ms\n",
                (noLatency - baseline) / servers);
}

}  // namespace

int main() {
    if (!lab::RegisterProductLibrary(lab::DefaultProductLibraryPath())) {
        std::fprintf(stderr, "the lab's product library could not be registered\n");
        return 1;
    }
    e2e::ResetProductRoot();
    BenchImport();
    BenchExport();
    lab::ResetNetwork();
    e2e::RemoveProductRoot();
    return 0;
}
