// perchman.exe as a service of Wine's service control manager: its stop
// latency when the parent's release writes to a server 20 ms away, a soak of
// start/stop cycles and of Clients changes in one running instance (handles
// and private bytes must not grow), and what it costs while idle after its
// first search, beside a trivial console program under the same Wine; and
// the stop latency of a stop made during a measuring round against dead
// servers.
// Usage: service_bench [idle-seconds=300] [cycles=100] [client-changes=1000]
//                      [round-stops=10]
// (trivial_console.exe, the memory reference, must be beside it)

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/service_control.h"
#include "labnet/labnet.h"
#include "process_figures.h"

namespace {

constexpr char kHome[] = "C:\\PerchmanLab\\ServiceBench";
constexpr char kClients[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Clients";
constexpr char kMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";

std::optional<DWORD> ClientCount() {
    return e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount");
}

bool Prepare() {
    std::string error;
    if (!lab::RegisterProductLibrary(lab::DefaultProductLibraryPath())) return false;
    e2e::ResetProductRoot();
    // The parent was released at the last stop: each start reconnects to it
    // at once and each stop releases it again, with a remote write of 20 ms.
    if (!lab::LoadNetwork("server P latency=20 pattern=1\nlist <local> Parent 0 P\n", &error)) {
        std::printf("lab: %s\n", error.c_str());
        return false;
    }
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA(kHome, nullptr);
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Home Directory", kHome);
    e2e::SetBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "GUID", std::string(16, '\x5a'));
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", kMarker);
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "LastParent", "P");
    e2e::CreateKey(HKEY_LOCAL_MACHINE, kClients);
    return e2e::InstallPerchmanService() == 0;
}

// Starts the service and waits until its first search is done (the loop
// publishes the client count right after it); the service's process id.
DWORD StartAndSettle() {
    e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount");
    if (e2e::StartPerchmanService(e2e::Windows::XP)) return 0;
    if (!e2e::WaitUntil([] { return ClientCount().has_value(); }, 30000)) return 0;
    return e2e::QueryPerchmanService().dwProcessId;
}

double Percentile(std::vector<double> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * (values.size() - 1))];
}

void StartStopCycles(int cycles) {
    std::vector<double> stops;
    int clean = 0;
    for (int i = 0; i < cycles; ++i) {
        if (!StartAndSettle()) {
            std::printf("cycle %d: the service did not start and search\n", i + 1);
            continue;
        }
        e2e::ServiceStop stop = e2e::StopPerchmanService();
        if (stop.stopped && stop.status.dwWin32ExitCode == 0) ++clean;
        stops.push_back(stop.ms);
    }
    std::printf("start/stop cycles: %d, ended stopped with exit code 0: %d\n", cycles, clean);
    std::printf("stop latency (control to stopped, release writes 20 ms away): median %.1f ms, "
                "p90 %.1f ms, max %.1f ms\n",
                Percentile(stops, 0.5), Percentile(stops, 0.9), Percentile(stops, 1.0));
}

void ClientChanges(int changes) {
    DWORD processId = StartAndSettle();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!processId || !process) {
        std::printf("client changes: the service did not start\n");
        return;
    }
    const std::string soak = std::string(kClients) + "\\SOAK";
    int late = 0;
    double slowest = 0;
    for (int i = 1; i <= changes; ++i) {
        bool add = i % 2 == 1;
        double start = figures::NowMs();
        if (add)
            e2e::CreateKey(HKEY_LOCAL_MACHINE, soak);
        else
            e2e::DeleteKeyTree(HKEY_LOCAL_MACHINE, soak);
        DWORD expected = add ? 1 : 0;
        if (!e2e::WaitUntil([&] { return ClientCount() == expected; }, 1000)) ++late;
        slowest = std::max(slowest, figures::NowMs() - start);
        if (i == 10 || i == 100 || i == changes) {
            figures::Memory memory = figures::MemoryOf(process);
            std::printf("client change %4d: service handles %ld, private %.2f MB, working set %.2f MB\n",
                        i, figures::CountHandles(processId), memory.privateMB, memory.workingSetMB);
        }
    }
    std::printf("client changes: %d, ClientCount late (>1 s): %d, slowest update %.1f ms\n",
                changes, late, slowest);
    CloseHandle(process);
    e2e::StopPerchmanService();
}

// The first search of a start times three dead servers, each probe lasting
// the library's time-out of 1500 ms: 22 probes, about 33 s. A stop made 2 s
// into it waits for the probe in flight, then the release (the parent is
// already given up: one local write).
void StopsDuringARound(int stops) {
    constexpr DWORD kProbeTimeoutMs = 1500;
    std::string error;
    if (!lab::LoadNetwork("server D1 down timeout=1500\nserver D2 down timeout=1500\n"
                          "server D3 down timeout=1500\nlist <local> Parent 0 D1,D2,D3\n",
                          &error)) {
        std::printf("lab: %s\n", error.c_str());
        return;
    }
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", kMarker);
    std::vector<double> latencies;
    int clean = 0;
    for (int i = 0; i < stops; ++i) {
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount");
        if (e2e::StartPerchmanService(e2e::Windows::XP)) {
            std::printf("round stop %d: the service did not start\n", i + 1);
            continue;
        }
        Sleep(2000);
        bool searching = !ClientCount().has_value();
        e2e::ServiceStop stop = e2e::StopPerchmanService(60000);
        if (stop.stopped && stop.status.dwWin32ExitCode == 0 && searching) ++clean;
        latencies.push_back(stop.ms);
    }
    std::printf("stops during a round against dead servers (probe time-out %lu ms, round about "
                "%lu ms): %d, stopped cleanly while still searching: %d\n",
                static_cast<unsigned long>(kProbeTimeoutMs),
                static_cast<unsigned long>(kProbeTimeoutMs * 22), stops, clean);
    std::printf("stop latency during the round: median %.1f ms, p90 %.1f ms, max %.1f ms\n",
                Percentile(latencies, 0.5), Percentile(latencies, 0.9),
                Percentile(latencies, 1.0));
}

// A reference program beside this benchmark (see trivial_console.cpp).
figures::Memory ReferenceProgram(const char* arguments) {
    char self[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, self, sizeof self);
    std::string commandLine(self, length);
    commandLine = commandLine.substr(0, commandLine.find_last_of('\\') + 1) +
                  "trivial_console.exe " + arguments;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child = {};
    if (!CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &child))
        return {};
    Sleep(3000);
    figures::Memory memory = figures::MemoryOf(child.hProcess);
    TerminateProcess(child.hProcess, 0);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    return memory;
}

void Idle(int seconds) {
    DWORD processId = StartAndSettle();
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (!processId || !process) {
        std::printf("idle: the service did not start\n");
        return;
    }
    // GetProcessTimes of another process reads 0 under Wine: the service's
    // CPU time is read from /proc of its Unix process.
    std::string unixProcess = figures::FindUnixProcess("perchman.exe");
    if (unixProcess.empty()) std::printf("idle: the Unix process of the service was not found\n");
    double cpuStart = figures::UnixCpuMs(unixProcess);
    double wallStart = figures::NowMs();
    long handlesStart = figures::CountHandles(processId);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    double cpu = figures::UnixCpuMs(unixProcess) - cpuStart;
    double wall = figures::NowMs() - wallStart;
    figures::Memory memory = figures::MemoryOf(process);
    figures::Memory trivial = ReferenceProgram("");
    figures::Memory sameDlls = ReferenceProgram("--same-dlls");
    figures::Memory sameCalls =
        ReferenceProgram(("--same-calls " + e2e::BuildPath("lab\\labproduct.dll")).c_str());
    figures::Memory sameThreads =
        ReferenceProgram(("--same-threads " + e2e::BuildPath("lab\\labproduct.dll")).c_str());
    std::printf("idle %d s after the first search: CPU %.1f ms (%.1f ms before) = %.4f %% of one core; "
                "handles %ld -> %ld\n",
                seconds, cpu, cpuStart, 100.0 * cpu / wall, handlesStart, figures::CountHandles(processId));
    std::printf("idle memory: private %.2f MB, working set %.2f MB; resident anonymous %.2f MB\n",
                memory.privateMB, memory.workingSetMB,
                figures::UnixStatusMb(unixProcess, "RssAnon"));
    std::printf("  a trivial console program: private %.2f MB, working set %.2f MB\n",
                trivial.privateMB, trivial.workingSetMB);
    std::printf("  one that loaded the same system libraries: private %.2f MB, working set %.2f MB\n",
                sameDlls.privateMB, sameDlls.workingSetMB);
    std::printf("  one that also made the same system calls: private %.2f MB, working set %.2f MB\n",
                sameCalls.privateMB, sameCalls.workingSetMB);
    std::printf("  one that also ran the service process's three threads: private %.2f MB, "
                "working set %.2f MB\n",
                sameThreads.privateMB, sameThreads.workingSetMB);
    CloseHandle(process);
    e2e::StopPerchmanService();
}

}  // namespace

int main(int argc, char** argv) {
    int idleSeconds = argc > 1 ? std::atoi(argv[1]) : 300;
    int cycles = argc > 2 ? std::atoi(argv[2]) : 100;
    int changes = argc > 3 ? std::atoi(argv[3]) : 1000;
    int roundStops = argc > 4 ? std::atoi(argv[4]) : 10;
    if (!Prepare()) {
        std::printf("service_bench: cannot set the service and the lab up\n");
        return 1;
    }
    StartStopCycles(cycles);
    ClientChanges(changes);
    if (idleSeconds > 0) Idle(idleSeconds);
    if (roundStops > 0) StopsDuringARound(roundStops);
    e2e::RemovePerchmanService();
    lab::ResetNetwork();
    e2e::RemoveProductRoot();
    return 0;
}
