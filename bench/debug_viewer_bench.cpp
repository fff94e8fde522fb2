// perchman.exe unattended beside a debug-output viewer that stopped reading
// (lab::DebugMonitor::StartSilent: the channel's objects exist, nobody
// answers; or it also holds DBWinMutex), in both families:
//  1. the first search's parent takeover (start to "ClientCount" published)
//     and the stop (request to "stopped", or to status 3 on Windows 9x), with
//     no viewer, a dead one and one holding the mutex;
//  2. a run of MINUTES beside a dead viewer while the program is at its
//     busiest steady state (a parent search that finds nothing acceptable,
//     repeated every 30 s), after which the viewer reads again: the lines the
//     program's writer had to drop, from its announcements ("DebugOutput lost
//     N lines (M in all)"): in all, and in the largest single gap.
// Usage: debug_viewer_bench [minutes=10] [repeats=3] [nt|9x|both=both]
// Inside the lab's network namespace (tools/labshell.sh), on an idle machine.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "debug_monitor.h"
#include "harness/harness.h"
#include "harness/service_control.h"
#include "harness/unattended_run.h"
#include "kestrel/kestrel_lab.h"
#include "labnet/labnet.h"
#include "output/debug_writer.h"

namespace {

using e2e::Family;

constexpr char kHome[] = "C:\\PerchmanLab\\DebugViewerBench";

enum class Viewer { None, Dead, DeadHoldingMutex };
const char* ViewerName(Viewer viewer) {
    return viewer == Viewer::None   ? "no viewer"
           : viewer == Viewer::Dead ? "dead viewer"
                                    : "dead viewer holding DBWinMutex";
}

bool Prepare(const char* network) {
    std::string error;
    e2e::ResetProductRoot();
    if (!lab::LoadNetwork(network, &error)) {
        std::printf("lab: %s\n", error.c_str());
        return false;
    }
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA(kHome, nullptr);
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Home Directory", kHome);
    e2e::SetBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "GUID", e2e::kTestGuid);
    e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Connected", 1);
    e2e::CreateKey(HKEY_LOCAL_MACHINE, std::string(e2e::kProductRoot) + "\\Clients");
    // Running as its service and, for Windows 9x, as its control object says.
    return kestrel::StartProduct() == 0;
}

bool StartViewer(lab::DebugMonitor& viewer, Viewer kind) {
    if (kind == Viewer::None) return true;
    std::string error;
    if (viewer.StartSilent(kind == Viewer::DeadHoldingMutex, &error)) return true;
    std::printf("viewer: %s\n", error.c_str());
    return false;
}

struct Figures {
    std::vector<double> takeoverMs, stopMs, exitMs;
    int released = 0;
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}
double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

void TakeoverAndStop(Family family, Viewer kind, int repeats) {
    Figures figures;
    for (int i = 0; i < repeats; ++i) {
        if (!Prepare("server SRV01 latency=4 pattern=3\nlist <local> Parent 0 SRV01\n")) return;
        lab::DebugMonitor viewer;
        if (!StartViewer(viewer, kind)) return;
        e2e::UnattendedRun run(family);
        std::string error;
        double start = NowMs();
        if (!run.Start(&error)) {
            std::printf("%s\n", error.c_str());
            return;
        }
        if (!e2e::WaitUntil(
                [] {
                    return e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount")
                        .has_value();
                },
                180000)) {
            std::printf("  no takeover within 180 s\n");
            return;
        }
        figures.takeoverMs.push_back(NowMs() - start);
        e2e::UnattendedStop stop = run.Stop();
        figures.stopMs.push_back(stop.ms);
        figures.exitMs.push_back(stop.exitMs);
        bool released =
            e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent") == e2e::kParentMarker;
        figures.released += stop.ended && released ? 1 : 0;
    }
    std::printf("  %-30s takeover median %6.0f ms, worst %6.0f ms | stop median %5.0f ms, "
                "worst %5.0f ms | process gone worst %5.0f ms | released %d/%d\n",
                ViewerName(kind), Median(figures.takeoverMs), Worst(figures.takeoverMs),
                Median(figures.stopMs), Worst(figures.stopMs), Worst(figures.exitMs),
                figures.released, repeats);
}

// The announcements of the lines the program's writer dropped.
void CountLost(const std::vector<lab::DebugLine>& lines, unsigned* inAll, unsigned* largestGap,
               size_t* announcements) {
    std::string prefix(kLostLinesFormat, std::strchr(kLostLinesFormat, '%') - kLostLinesFormat);
    for (const lab::DebugLine& line : lines) {
        size_t at = line.text.find(prefix);
        if (at == std::string::npos) continue;
        unsigned gap = 0, all = 0;
        std::string format = std::string(kLostLinesFormat);
        if (std::sscanf(line.text.c_str() + at, format.c_str(), &gap, &all) == 2) {
            *inAll = std::max(*inAll, all);
            *largestGap = std::max(*largestGap, gap);
            ++*announcements;
        }
    }
}

void BusyRunBesideADeadViewer(Family family, int minutes) {
    // Every server answers, none within its limit: the parent search finds
    // nothing and repeats every CheckForNewParentIntervalInSeconds (30 s).
    if (!Prepare("server SLOW1 latency=40\nserver SLOW2 latency=45\n"
                 "list <local> Parent 0 SLOW1(5),SLOW2(5)\n"))
        return;
    lab::DebugMonitor viewer;
    if (!StartViewer(viewer, Viewer::Dead)) return;
    e2e::UnattendedRun run(family);
    std::string error;
    if (!run.Start(&error)) {
        std::printf("%s\n", error.c_str());
        return;
    }
    DWORD processId = run.ProcessId();
    Sleep(static_cast<DWORD>(minutes) * 60000);
    // Reading again: the writer's current wait ends and its ring comes out,
    // announcements included.
    viewer.Revive();
    Sleep(15000);
    e2e::UnattendedStop stop = run.Stop();
    Sleep(1000);
    std::vector<lab::DebugLine> lines;
    for (const lab::DebugLine& line : viewer.Lines())
        if (line.processId == processId) lines.push_back(line);
    unsigned inAll = 0, largestGap = 0;
    size_t announcements = 0;
    CountLost(lines, &inAll, &largestGap, &announcements);
    std::printf("  %d min beside a dead viewer: %u lines dropped in all (largest gap %u, %zu "
                "announcements read after it read again), %zu lines read after it read again; "
                "stop %.0f ms\n",
                minutes, inAll, largestGap, announcements, lines.size(), stop.ms);
}

}  // namespace

int main(int argc, char** argv) {
    int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
    std::string which = argc > 3 ? argv[3] : "both";
    if (!lab::RegisterProductLibrary(lab::DefaultProductLibraryPath()) ||
        kestrel::InstallService() || kestrel::RegisterControlObject()) {
        std::printf("cannot set up the lab\n");
        return 1;
    }
    kestrel::ResetBehaviour();
    std::vector<Family> families;
    if (which != "9x") families.push_back(Family::NtService);
    if (which != "nt") families.push_back(Family::Win9xBackground);
    for (Family family : families) {
        std::printf("%s, %d runs each:\n", e2e::FamilyName(family), repeats);
        for (Viewer kind : {Viewer::None, Viewer::Dead, Viewer::DeadHoldingMutex})
            TakeoverAndStop(family, kind, repeats);
        if (minutes > 0) BusyRunBesideADeadViewer(family, minutes);
    }
    kestrel::RemoveProduct();
    lab::ResetNetwork();
    e2e::RemoveProductRoot();
    return 0;
}
