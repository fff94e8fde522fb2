// The Windows 9x background process at rest and at its stop: perchman.exe
// under Wine's Windows 98, started as the startup key starts it, against a
// small lab network. Prints its CPU use over a quiet window after the first
// search, its private bytes and handle count after 10 and after N passes of
// the engine loop (one pass a second), and how long a stop through
// "ZirRoamServiceStatus" takes. Run it alone in the prefix: it finds the
// program's Unix process by its name and the prefix.
// Usage: win9x_background_bench.exe [passes=1000] [cpu-seconds=300] [stops=5]

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "labnet.h"
#include "process_figures.h"

namespace {

constexpr char kNetwork[] =
    "server SRV-MAD latency=4 clients=40 pattern=7\n"
    "server SRV-BCN latency=30 clients=25 pattern=7\n"
    "list <local> Alerts 0 SRV-MAD,SRV-BCN\n"
    "list SRV-MAD Alerts 1 \"\"\nlist SRV-BCN Alerts 1 \"\"\n"
    "string <local> - Parent SRV-MAD\n"
    "dword <local> ProductControl RoamClient 0\n"
    "dword <local> ProductControl RoamAlerts 1\n";

using figures::NowMs;

std::optional<DWORD> Control(const char* name) {
    return e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, name);
}

bool WaitForControl(const char* name, DWORD value, DWORD ms) {
    for (double start = NowMs(); NowMs() - start < ms; Sleep(20))
        if (Control(name) == value) return true;
    return false;
}

struct Instance {
    HANDLE process = nullptr;
    DWORD id = 0;
};

Instance StartInstance() {
    Instance instance;
    e2e::StartUnattendedPerchman(&instance.process, &instance.id);
    return instance;
}

// Starts an instance and waits for its first search (the alerts role taken over).
Instance StartSearched(double* searchedAt) {
    e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LoadNQS");
    Instance instance = StartInstance();
    if (!instance.process || !WaitForControl("LoadNQS", 1, 60000)) {
        std::printf("the instance did not finish its first search\n");
        std::exit(1);
    }
    *searchedAt = NowMs();
    return instance;
}

// From "ZirRoamServiceStatus" := 2 to the end of the process.
double StopMs(Instance& instance) {
    e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ZirRoamServiceStatus", 2);
    double start = NowMs();
    DWORD waited = WaitForSingleObject(instance.process, 60000);
    double ms = NowMs() - start;
    if (waited != WAIT_OBJECT_0) TerminateProcess(instance.process, 1);
    CloseHandle(instance.process);
    instance.process = nullptr;
    return waited == WAIT_OBJECT_0 ? ms : -1;
}

void SleepUntil(double atMs) {
    double now = NowMs();
    if (atMs > now) Sleep(static_cast<DWORD>(atMs - now));
}

}  // namespace

int main(int argc, char** argv) {
    int passes = argc > 1 ? std::atoi(argv[1]) : 1000;
    int cpuSeconds = argc > 2 ? std::atoi(argv[2]) : 300;
    int stops = argc > 3 ? std::atoi(argv[3]) : 5;
    if (passes < 10) passes = 10;
    if (cpuSeconds < 1) cpuSeconds = 1;

    if (!lab::RegisterProductLibrary(e2e::BuildPath("lab\\labproduct.dll"))) {
        std::printf("cannot register the lab's product library\n");
        return 1;
    }
    e2e::ResetProductRoot();
    std::string error;
    if (!lab::LoadNetwork(kNetwork, &error)) {
        std::printf("lab: %s\n", error.c_str());
        return 1;
    }
    e2e::SetWindowsVersion("perchman.exe", e2e::Windows::Win98);

    double searchedAt = 0;
    Instance instance = StartSearched(&searchedAt);
    std::string program = figures::FindUnixProcess("perchman.exe");
    std::string server = figures::FindUnixProcess("wineserver");
    if (program.empty()) std::printf("the Unix process of perchman.exe was not found\n");
    // A pass is 1000 ms of sleep plus its work.
    SleepUntil(searchedAt + 10 * 1000.0);
    long handles10 = figures::CountHandles(instance.id);
    double anon10 = figures::UnixStatusMb(program, "RssAnon");
    double cpuStart = figures::UnixCpuMs(program);
    double windowsCpuStart = figures::CpuMs(instance.process);
    double serverStart = figures::UnixCpuMs(server);
    double wallStart = NowMs();
    SleepUntil(wallStart + cpuSeconds * 1000.0);
    double wall = NowMs() - wallStart;
    std::printf("idle CPU over %d s after the first search: perchman.exe %.3f %% of one core, "
                "the prefix's wineserver %.3f %%\n",
                cpuSeconds, (figures::UnixCpuMs(program) - cpuStart) / wall * 100.0,
                server.empty() ? -1.0 : (figures::UnixCpuMs(server) - serverStart) / wall * 100.0);
    // Shown beside it: under Wine it reads 0 for any process but the caller.
    std::printf("(GetProcessTimes of the instance over the same window: %.3f %%)\n",
                (figures::CpuMs(instance.process) - windowsCpuStart) / wall * 100.0);
    SleepUntil(searchedAt + passes * 1000.0);
    long handlesN = figures::CountHandles(instance.id);
    double anonN = figures::UnixStatusMb(program, "RssAnon");
    std::printf("after %4d passes: %ld handles, %.2f MB private (resident anonymous), %.2f MB resident\n",
                10, handles10, anon10, figures::UnixStatusMb(program, "VmRSS"));
    std::printf("after %4d passes: %ld handles, %.2f MB private (resident anonymous), %.2f MB resident\n",
                passes, handlesN, anonN, figures::UnixStatusMb(program, "VmRSS"));
    std::printf("stop after %d passes: %.0f ms\n", passes, StopMs(instance));

    // Stops at other moments of the supervisor's 2000 ms period.
    double total = 0, worst = 0;
    int measured = 0;
    for (int i = 0; i < stops; ++i) {
        Instance again = StartSearched(&searchedAt);
        SleepUntil(searchedAt + 3000 + 370.0 * i);
        double ms = StopMs(again);
        if (ms < 0) {
            std::printf("stop %d: the instance did not end\n", i);
            continue;
        }
        total += ms;
        worst = ms > worst ? ms : worst;
        ++measured;
    }
    if (measured)
        std::printf("stop latency over %d stops (parent release 4 ms away): mean %.0f ms, worst %.0f ms\n",
                    measured, total / measured, worst);
    e2e::SetWindowsVersion("perchman.exe", std::nullopt);
    lab::ResetNetwork();
    e2e::RemoveProductRoot();
    return 0;
}
