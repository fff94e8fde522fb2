// Binding of the functions that exist only on some Windows families, after
// the family has been determined.

#include "platform/system_functions.h"

#include "common/bind.h"
#include "common/text.h"
#include "output/output.h"
#include "platform/system_library.h"

SystemFunctions FrameFunctions;
SystemFunctions EngineFunctions;

namespace {

constexpr unsigned kMsgUnknownWindows = 131;
constexpr unsigned kMsgFunctionsMissing = 132;
constexpr unsigned kMsgLibraryMissing = 133;

void ReleaseLibrary(HMODULE& module) {
    if (module) FreeLibrary(module);
    module = nullptr;
}

int LoadNtSet(SystemFunctions& f) {
    f.Advapi32 = LoadSystemLibrary("advapi32.dll");
    if (!f.Advapi32) {
        PrintMessageId(kMsgLibraryMissing, nullptr, false, "advapi32");
        return 0;
    }
    f.Kernel32 = LoadSystemLibrary("kernel32.dll");
    if (!f.Kernel32) {
        ReleaseLibrary(f.Advapi32);
        PrintMessageId(kMsgLibraryMissing, nullptr, false, "Kernel32");
        return 0;
    }
    // Every binding is attempted, so that both messages can be given.
    bool advapiComplete = true;
    bool kernelComplete = true;
    advapiComplete &= BindProcedure(f.OpenSCManagerA, f.Advapi32, "OpenSCManagerA");
    advapiComplete &= BindProcedure(f.CreateServiceA, f.Advapi32, "CreateServiceA");
    advapiComplete &= BindProcedure(f.StartServiceA, f.Advapi32, "StartServiceA");
    advapiComplete &= BindProcedure(f.StartServiceCtrlDispatcherA, f.Advapi32, "StartServiceCtrlDispatcherA");
    advapiComplete &= BindProcedure(f.RegisterServiceCtrlHandlerA, f.Advapi32, "RegisterServiceCtrlHandlerA");
    kernelComplete &= BindProcedure(f.CreateWaitableTimerA, f.Kernel32, "CreateWaitableTimerA");
    advapiComplete &= BindProcedure(f.DeleteService, f.Advapi32, "DeleteService");
    advapiComplete &= BindProcedure(f.QueryServiceStatus, f.Advapi32, "QueryServiceStatus");
    advapiComplete &= BindProcedure(f.ControlService, f.Advapi32, "ControlService");
    advapiComplete &= BindProcedure(f.SetServiceStatus, f.Advapi32, "SetServiceStatus");
    advapiComplete &= BindProcedure(f.CloseServiceHandle, f.Advapi32, "CloseServiceHandle");
    // Windows 9x lacks it like the rest of the service functions: imported
    // statically it would keep the program from loading there at all.
    advapiComplete &= BindProcedure(f.OpenServiceA, f.Advapi32, "OpenServiceA");
    // The event log and change notifications of keys are NT's alone as well.
    advapiComplete &= BindProcedure(f.RegNotifyChangeKeyValue, f.Advapi32, "RegNotifyChangeKeyValue");
    advapiComplete &= BindProcedure(f.RegisterEventSourceA, f.Advapi32, "RegisterEventSourceA");
    advapiComplete &= BindProcedure(f.ReportEventA, f.Advapi32, "ReportEventA");
    advapiComplete &= BindProcedure(f.DeregisterEventSource, f.Advapi32, "DeregisterEventSource");
    kernelComplete &= BindProcedure(f.SetWaitableTimer, f.Kernel32, "SetWaitableTimer");
    kernelComplete &= BindProcedure(f.CancelWaitableTimer, f.Kernel32, "CancelWaitableTimer");
    // Windows 9x offers it at most as a stub that always fails.
    kernelComplete &= BindProcedure(f.MoveFileExA, f.Kernel32, "MoveFileExA");
    if (advapiComplete && kernelComplete) return 1;

    ReleaseLibrary(f.Kernel32);
    ReleaseLibrary(f.Advapi32);
    if (!kernelComplete) PrintMessageId(kMsgFunctionsMissing, nullptr, false, "Kernel32");
    if (!advapiComplete) PrintMessageId(kMsgFunctionsMissing, nullptr, false, "advapi32");
    return 0;
}

int LoadWin9xSet(SystemFunctions& f) {
    f.Kernel32 = LoadSystemLibrary("kernel32.dll");
    if (!f.Kernel32) {
        PrintMessageId(kMsgLibraryMissing, nullptr, false, "Kernel32");
        return 0;
    }
    bool complete = true;
    complete &= BindProcedure(f.Process32First, f.Kernel32, "Process32First");
    complete &= BindProcedure(f.Process32Next, f.Kernel32, "Process32Next");
    complete &= BindProcedure(f.CreateToolhelp32Snapshot, f.Kernel32, "CreateToolhelp32Snapshot");
    complete &= BindProcedure(f.RegisterServiceProcess, f.Kernel32, "RegisterServiceProcess");
    if (complete) return 1;
    ReleaseLibrary(f.Kernel32);
    PrintMessageId(kMsgFunctionsMissing, nullptr, false, "Kernel32");
    return 0;
}

}  // namespace

int DetectWindowsVersion(SystemFunctions& f) {
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    if (version.dwMajorVersion >= 5) {
        f.IsWin2000 = 1;
        return 1;
    }
    if (version.dwPlatformId == VER_PLATFORM_WIN32_NT) f.IsNT4 = 1;
    if (version.dwPlatformId == VER_PLATFORM_WIN32_WINDOWS) f.IsWin9x = 1;
    if (!f.IsWin9x && !f.IsNT4 && !f.IsWin2000) {
        PrintMessageId(kMsgUnknownWindows, nullptr, false);
        return 0;
    }
    return 1;
}

int LoadSystemFunctions(SystemFunctions& f) {
    if (!DetectWindowsVersion(f)) return 0;
    if (f.IsWin2000 || f.IsNT4) return LoadNtSet(f);
    return LoadWin9xSet(f);
}

void FreeSystemFunctions(SystemFunctions& f) {
    // A library already released after a failed binding is null here.
    if (f.IsWin9x) {
        ReleaseLibrary(f.Kernel32);
    } else {
        ReleaseLibrary(f.Kernel32);
        ReleaseLibrary(f.Advapi32);
    }
}
