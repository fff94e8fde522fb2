// "/remove": stops the running instance and removes the registration (the
// service and its event source on NT, the startup values on Windows 9x).

#include <windows.h>

#include <cstdio>

#include "entry/run_modes.h"
#include "entry/service_registration.h"
#include "entry/service_status.h"
#include "platform/system_functions.h"
#include "entry/win9x_background.h"
#include "entry/win9x_startup_values.h"

namespace {

constexpr DWORD kManagerAccess = 0xF003F;  // SC_MANAGER_ALL_ACCESS
constexpr DWORD kServiceAccess = 0xF01FF;  // SERVICE_ALL_ACCESS
constexpr DWORD kStopPollMs = 1000;
// A service that never leaves stop-pending is deleted all the same after
// this long; the service control manager removes it once it has stopped.
constexpr DWORD kStopWaitLimitMs = 60000;
// The background instance holds its mutex until it has ended: its supervisor
// looks every 2000 ms and gives its engine up to 10000 ms to stop.
constexpr DWORD kInstanceEndLimitMs = 15000;
constexpr DWORD kInstanceEndPollMs = 100;

void PrintProgressDot() {
    std::fputs(".", stdout);
    std::fflush(stdout);
}

// The stop request is only posted; an instance started right after it would
// find the old one's mutex and end at once. So "stopped" is said once the
// old instance has really gone.
bool WaitForInstanceEnd() {
    for (DWORD waited = 0; BackgroundInstanceMutexExists(); waited += kInstanceEndPollMs) {
        if (waited >= kInstanceEndLimitMs) return false;
        Sleep(kInstanceEndPollMs);
    }
    return true;
}

void RemoveWin9x(const char* serviceName) {
    PrintInstallMessage(kMsgStopping, serviceName);
    bool stopped = StopBackgroundInstance() && WaitForInstanceEnd();
    PrintInstallMessage(stopped ? kMsgStopped : kMsgNotStopped, serviceName);
    if (DeleteStartupValues(serviceName))
        PrintInstallMessage(kMsgRemoved, serviceName);
    else
        PrintStepFailed("Win9XDeleteService");
}

// Nothing is printed when the service does not take the stop (it is not
// running, for one). The process's one status record receives the states.
void StopService(SC_HANDLE service, const char* serviceName) {
    SERVICE_STATUS& status = ServiceStatusRecord;
    if (!FrameFunctions.ControlService(service, SERVICE_CONTROL_STOP, &status)) return;
    PrintInstallMessage(kMsgStopping, serviceName);
    Sleep(kStopPollMs);
    // The state is asked for once more after the last pause: a service that
    // stopped in it has stopped.
    for (DWORD waited = kStopPollMs;; waited += kStopPollMs) {
        if (!FrameFunctions.QueryServiceStatus(service, &status) ||
            status.dwCurrentState != SERVICE_STOP_PENDING || waited >= kStopWaitLimitMs)
            break;
        PrintProgressDot();
        Sleep(kStopPollMs);
    }
    PrintInstallMessage(status.dwCurrentState == SERVICE_STOPPED ? kMsgStopped : kMsgNotStopped,
                        serviceName);
}

void UnregisterEventSource(const char* serviceName) {
    char keyPath[kEventSourceKeySize];
    EventSourceKeyPath(serviceName, keyPath);
    RegKey source;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, source.put()) != ERROR_SUCCESS) return;
    RegDeleteValueA(source.get(), "EventMessageFile");
    RegDeleteValueA(source.get(), "TypesSupported");
    source.reset();
    RegKey application;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, kEventLogApplicationKey, application.put()) !=
        ERROR_SUCCESS)
        return;
    RegDeleteKeyA(application.get(), serviceName);
}

void RemoveNt(const char* serviceName) {
    FrameServiceHandle manager(FrameFunctions.OpenSCManagerA(nullptr, nullptr, kManagerAccess));
    if (!manager) {
        PrintStepFailed("OpenSCManager");
        return;
    }
    FrameServiceHandle service(
        FrameFunctions.OpenServiceA(manager.get(), serviceName, kServiceAccess));
    if (!service) {
        PrintStepFailed("OpenService");
        return;
    }
    StopService(service.get(), serviceName);
    if (FrameFunctions.DeleteService(service.get()))
        PrintInstallMessage(kMsgRemoved, serviceName);
    else
        PrintStepFailed("DeleteService");
    service.reset();
    UnregisterEventSource(serviceName);
}

}  // namespace

bool BackgroundInstanceMutexExists() {
    KernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, kInstanceMutexName));
    return static_cast<bool>(mutex);
}

void RemoveService(const char* serviceName) {
    const char* name = ServiceNameOrDefault(serviceName);
    if (FrameFunctions.IsWin9x)
        RemoveWin9x(name);
    else
        RemoveNt(name);
}
