#pragma once
// The Windows functions that exist only on some systems, bound by name at run
// time, and the flags of the system family.

#include <windows.h>
#include <tlhelp32.h>

struct SystemFunctions {
    DWORD IsWin9x = 0;
    DWORD IsNT4 = 0;
    DWORD IsWin2000 = 0;
    HMODULE Kernel32 = nullptr;
    HMODULE Advapi32 = nullptr;

    decltype(&::OpenSCManagerA) OpenSCManagerA = nullptr;
    decltype(&::CreateServiceA) CreateServiceA = nullptr;
    decltype(&::OpenServiceA) OpenServiceA = nullptr;
    decltype(&::StartServiceA) StartServiceA = nullptr;
    decltype(&::StartServiceCtrlDispatcherA) StartServiceCtrlDispatcherA = nullptr;
    decltype(&::RegisterServiceCtrlHandlerA) RegisterServiceCtrlHandlerA = nullptr;
    decltype(&::DeleteService) DeleteService = nullptr;
    decltype(&::QueryServiceStatus) QueryServiceStatus = nullptr;
    decltype(&::ControlService) ControlService = nullptr;
    decltype(&::SetServiceStatus) SetServiceStatus = nullptr;
    decltype(&::CloseServiceHandle) CloseServiceHandle = nullptr;
    decltype(&::CreateWaitableTimerA) CreateWaitableTimerA = nullptr;
    decltype(&::SetWaitableTimer) SetWaitableTimer = nullptr;
    decltype(&::CancelWaitableTimer) CancelWaitableTimer = nullptr;
    decltype(&::MoveFileExA) MoveFileExA = nullptr;
    decltype(&::RegNotifyChangeKeyValue) RegNotifyChangeKeyValue = nullptr;
    decltype(&::RegisterEventSourceA) RegisterEventSourceA = nullptr;
    decltype(&::ReportEventA) ReportEventA = nullptr;
    decltype(&::DeregisterEventSource) DeregisterEventSource = nullptr;
    decltype(&::CreateToolhelp32Snapshot) CreateToolhelp32Snapshot = nullptr;
    decltype(&::Process32First) Process32First = nullptr;
    decltype(&::Process32Next) Process32Next = nullptr;
    DWORD(WINAPI* RegisterServiceProcess)(DWORD processId, DWORD type) = nullptr;
};

// The frame's instance (service dispatcher, installation) and the engine's
// (product service control, waitable timers). Both are filled the same way.
extern SystemFunctions FrameFunctions;
extern SystemFunctions EngineFunctions;

// A service handle closed through an instance's bound CloseServiceHandle,
// which exists only where the service functions were bound.
template <SystemFunctions& Functions>
struct BoundServiceHandleTraits {
    static SC_HANDLE invalid() { return nullptr; }
    static void close(SC_HANDLE handle) {
        if (Functions.CloseServiceHandle) Functions.CloseServiceHandle(handle);
    }
};

int DetectWindowsVersion(SystemFunctions& functions);
int LoadSystemFunctions(SystemFunctions& functions);
void FreeSystemFunctions(SystemFunctions& functions);
