// The service "Perchman" in the prefix's service control manager.

#include "harness/service_control.h"

#include <string>

namespace e2e {

namespace {

constexpr char kServiceName[] = "Perchman";
constexpr char kExeName[] = "perchman.exe";
constexpr DWORD kPollMs = 2;

struct OpenedService {
    ServiceHandle manager{OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS)};
    ServiceHandle service{
        manager ? OpenServiceA(manager.get(), kServiceName, SERVICE_ALL_ACCESS) : nullptr};
};

SERVICE_STATUS_PROCESS Query(SC_HANDLE service) {
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                         sizeof status, &needed);
    return status;
}

}  // namespace

double NowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

ServiceHandle OpenNamedService(const char* name, DWORD access) {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    return ServiceHandle(manager ? OpenServiceA(manager.get(), name, access) : nullptr);
}

DWORD InstallPerchmanService() {
    ServiceHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return GetLastError();
    std::string binary = PerchmanPath();
    binary.insert(binary.begin(), '"');
    binary.push_back('"');
    ServiceHandle service(CreateServiceA(manager.get(), kServiceName, kServiceName,
                                    SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                    SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE, binary.c_str(),
                                    nullptr, nullptr, nullptr, nullptr, nullptr));
    if (service || GetLastError() == ERROR_SERVICE_EXISTS) return 0;
    return GetLastError();
}

void RemovePerchmanService() {
    OpenedService opened;
    if (opened.service) DeleteService(opened.service.get());
    SetWindowsVersion(kExeName, std::nullopt);
}

SERVICE_STATUS_PROCESS QueryPerchmanService() {
    OpenedService opened;
    return opened.service ? Query(opened.service.get()) : SERVICE_STATUS_PROCESS{};
}

DWORD StartPerchmanService(Windows version, DWORD waitMs) {
    SetWindowsVersion(kExeName, version);
    OpenedService opened;
    if (!opened.service) return GetLastError();
    if (!StartServiceA(opened.service.get(), 0, nullptr)) return GetLastError();
    bool running = WaitUntil(
        [&] { return Query(opened.service.get()).dwCurrentState == SERVICE_RUNNING; }, waitMs);
    return running ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

ServiceStop StopPerchmanService(DWORD waitMs) {
    ServiceStop result;
    OpenedService opened;
    if (!opened.service) return result;
    SERVICE_STATUS ignored;
    double start = NowMs();
    ControlService(opened.service.get(), SERVICE_CONTROL_STOP, &ignored);
    result.stopped = WaitUntil(
        [&] {
            result.status = Query(opened.service.get());
            return result.status.dwCurrentState == SERVICE_STOPPED;
        },
        waitMs);
    result.ms = NowMs() - start;
    return result;
}

bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs) {
    DWORD start = GetTickCount();
    while (!condition()) {
        if (GetTickCount() - start >= timeoutMs) return false;
        Sleep(kPollMs);
    }
    return true;
}

}  // namespace e2e
