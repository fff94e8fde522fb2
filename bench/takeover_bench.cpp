// How long the parent takeover takes against the product stand-in, for a
// range of processing delays configured in the stand-in. The takeover runs in
// this process, as the engine runs it; the stand-in is the prefix's service.
// What the takeover adds above the product's own delay is the figure to watch.

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "entry/system_functions.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "product/product_keys.h"
#include "takeover/takeovers.h"

namespace {

constexpr char kHome[] = "C:\\PerchmanLab\\TakeoverBench";
constexpr int kRounds = 15;

double NowMs() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

void SetRoot(const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductRootPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                    &key, nullptr);
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

bool Prepare() {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kProductRootPath);
    HKEY control = nullptr;
    std::string controlPath = std::string(kProductRootPath) + "\\ProductControl";
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, controlPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &control, nullptr))
        return false;
    RegCloseKey(control);
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA(kHome, nullptr);
    SetRoot("Home Directory", REG_SZ, kHome, sizeof kHome);
    if (OpenProductKeys()) return false;
    if (!LoadSystemFunctions(EngineFunctions)) return false;
    kestrel::ResetBehaviour();
    if (kestrel::InstallService() || kestrel::StartService()) return false;
    return true;
}

// One switch to a new parent with the product running and managed.
double TimedSwitch(int round) {
    DWORD connected = 1;
    SetRoot("Connected", REG_DWORD, &connected, sizeof connected);
    RegDeleteValueA(Keys.Root, "Parent");
    char server[16];
    snprintf(server, sizeof server, "SRV%02d", round);
    double start = NowMs();
    int result = TakeOverParent(server);
    double elapsed = NowMs() - start;
    return result ? elapsed : -1.0;
}

}  // namespace

int main() {
    if (!Prepare()) {
        std::printf("takeover_bench: the product stand-in could not be set up\n");
        return 1;
    }
    std::printf("Parent takeover against the product stand-in (%d rounds per delay)\n", kRounds);
    std::printf("%10s %10s %10s %10s %12s\n", "delay ms", "min ms", "median ms", "max ms",
                "over delay");
    bool withinTarget = true;
    for (DWORD delay : {0u, 10u, 25u, 50u, 100u, 250u}) {
        kestrel::SetBehaviour(kestrel::kProcessingDelayValue, delay);
        std::vector<double> times;
        for (int round = 0; round < kRounds; ++round) {
            double t = TimedSwitch(round);
            if (t < 0) {
                std::printf("round %d with delay %lu: the product did not confirm\n", round,
                            static_cast<unsigned long>(delay));
                continue;
            }
            times.push_back(t);
        }
        if (times.empty()) continue;
        std::sort(times.begin(), times.end());
        double median = times[times.size() / 2];
        double over = median - static_cast<double>(delay);
        if (over > 10.0) withinTarget = false;
        std::printf("%10lu %10.1f %10.1f %10.1f %12.1f\n", static_cast<unsigned long>(delay),
                    times.front(), median, times.back(), over);
    }
    std::printf("median within 10 ms above the delay: %s\n", withinTarget ? "yes" : "no");
    kestrel::StopService();
    kestrel::UninstallService();
    kestrel::ResetBehaviour();
    CloseProductKeys();
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kProductRootPath);
    DeleteFileA("C:\\PerchmanLab\\TakeoverBench\\HPD.DAT");
    RemoveDirectoryA(kHome);
    return 0;
}
