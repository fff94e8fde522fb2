// How long the parent takeover takes against the product stand-in, for a
// range of processing delays configured in the stand-in. The takeover runs in
// this process, as the engine runs it; the stand-in is the prefix's service.
// What the takeover adds above the product's own delay is the figure to watch.

#include <windows.h>
#include <shlwapi.h>

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bench_clock.h"
#include "platform/system_functions.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "product/product_control.h"
#include "product/product_keys.h"
#include "takeover/takeovers.h"

namespace {

constexpr char kHome[] = "C:\\PerchmanLab\\TakeoverBench";
constexpr int kRounds = 15;

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

// The pieces the takeover is made of, to see where its time goes.
void Breakdown() {
    const int n = 10;
    double start = NowMs();
    for (int i = 0; i < n; ++i) IsProductRunning();
    std::printf("IsProductRunning: %.2f ms each\n", (NowMs() - start) / n);

    start = NowMs();
    for (int i = 0; i < n; ++i) OpenServiceManager();
    std::printf("open and close the service manager: %.2f ms each\n", (NowMs() - start) / n);
    ServiceHandle manager = OpenServiceManager();
    start = NowMs();
    for (int i = 0; i < n; ++i) IsServiceRunning(manager.get(), kProductServiceName);
    std::printf("IsServiceRunning with an open manager: %.2f ms each\n", (NowMs() - start) / n);

    {
        double open = 0, query = 0, close = 0;
        for (int i = 0; i < n; ++i) {
            double t0 = NowMs();
            SC_HANDLE service = OpenServiceA(manager.get(), kProductServiceName, SERVICE_QUERY_STATUS);
            double t1 = NowMs();
            SERVICE_STATUS status = {};
            QueryServiceStatus(service, &status);
            double t2 = NowMs();
            CloseServiceHandle(service);
            double t3 = NowMs();
            open += t1 - t0;
            query += t2 - t1;
            close += t3 - t2;
        }
        std::printf("OpenService %.2f, QueryServiceStatus %.2f, CloseServiceHandle %.2f ms\n",
                    open / n, query / n, close / n);
    }
    kestrel::SetBehaviour(kestrel::kProcessingDelayValue, 0);
    double total = 0;
    for (int i = 0; i < n; ++i) {
        DWORD one = 1;
        start = NowMs();
        RegSetValueExA(Keys.ProductControl, "ProcessHPDNow", 0, REG_DWORD,
                       reinterpret_cast<const BYTE*>(&one), sizeof one);
        for (;;) {
            DWORD value = 1;
            DWORD size = sizeof value;
            if (RegQueryValueExA(Keys.ProductControl, "ProcessHPDNow", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&value), &size) == ERROR_SUCCESS &&
                value == 0)
                break;
            if (NowMs() - start > 5000) break;
        }
        total += NowMs() - start;
    }
    std::printf("stand-in round trip (flag raised until lowered, busy polling): %.2f ms\n",
                total / n);
    start = NowMs();
    for (int i = 0; i < n; ++i) Sleep(5);
    std::printf("Sleep(5): %.2f ms each\n", (NowMs() - start) / n);
}

}  // namespace

int main() {
    if (!Prepare()) {
        std::printf("takeover_bench: the product stand-in could not be set up\n");
        return 1;
    }
    Breakdown();
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
