// The supervisor of the Windows 9x background mode, on main's thread: one
// instance per machine, the status values another program can read and use
// to stop it, and a look every 2000 ms at whether it should end.

#include "entry/win9x_background.h"

#include <windows.h>

#include <cstdio>

#include "common/handles.h"
#include "common/text.h"
#include "entry/shutdown_monitor.h"
#include "platform/system_functions.h"
#include "entry/win9x_engine_thread.h"
#include "entry/win9x_report.h"
#include "output/debug_writer.h"
#include "output/output.h"

namespace {

constexpr char kProductControlPath[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";
constexpr char kShutdownWaitValue[] = "ShutdownWait";
constexpr char kStatusValue[] = "ZirRoamServiceStatus";
constexpr char kLastStatusCodeValue[] = "LastZirRoamStatusCode";

constexpr DWORD kStatusStarting = 0;
constexpr DWORD kStatusRunning = 1;
constexpr DWORD kStatusStopRequested = 2;  // written only by other programs
constexpr DWORD kStatusEnded = 3;

constexpr DWORD kMaxShutdownWaitSeconds = 30;
constexpr DWORD kSupervisionMs = 2000;
constexpr DWORD kRegisterServiceProcess = 1;

constexpr unsigned kMsgAlreadyRunning = 135;
constexpr unsigned kMsgStartFailed = 136;

void WriteStatusDword(HKEY key, const char* name, DWORD value) {
    if (!key) return;
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
}

// A missing, unreadable or mistyped value reads as a value no one writes.
DWORD ReadStatusDword(HKEY key, const char* name, DWORD missing) {
    DWORD value = 0;
    DWORD type = 0;
    DWORD size = sizeof value;
    if (!key ||
        RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof value)
        return missing;
    return value;
}

DWORD ShutdownWaitFrom(HKEY key) {
    DWORD seconds = ReadStatusDword(key, kShutdownWaitValue, 0);
    if (seconds > kMaxShutdownWaitSeconds) seconds = kMaxShutdownWaitSeconds;
    return seconds * 1000;
}

void SuperviseUntilStopped(HKEY productControl) {
    for (;;) {
        Sleep(kSupervisionMs);
        if (ReadStatusDword(productControl, kStatusValue, kStatusRunning) == kStatusStopRequested)
            return;
        if (ShutdownSeen) return;
    }
}

// The mode itself, once this process is the only instance. False when the
// engine thread was still running when the mode ended.
bool RunBackgroundMode(int debug, RegKey& productControl) {
    RegOpenKeyA(HKEY_LOCAL_MACHINE, kProductControlPath, productControl.put());
    ShutdownWaitMs = ShutdownWaitFrom(productControl.get());
    WriteStatusDword(productControl.get(), kStatusValue, kStatusStarting);

    StartShutdownMonitor();
    InitZirRoam();
    // Without it the process would end with the user's log-off. On failure the
    // mode ends through the shared shut-down, as any failed start does: the
    // two threads are stopped first, so that it takes nothing from under them.
    if (!debug && (!FrameFunctions.RegisterServiceProcess ||
                   !FrameFunctions.RegisterServiceProcess(GetCurrentProcessId(),
                                                          kRegisterServiceProcess))) {
        ReportStartFailure();
        bool engineEnded = DeInitZirRoam();
        StopShutdownMonitor();
        return engineEnded;
    }
    WriteStatusDword(productControl.get(), kStatusValue, kStatusRunning);

    SuperviseUntilStopped(productControl.get());
    TraceMessage("Win9xServiceMain main loop exit\n", nullptr, false);
    bool engineEnded = DeInitZirRoam();
    StopShutdownMonitor();
    WriteStatusDword(productControl.get(), kLastStatusCodeValue, 0);
    WriteStatusDword(productControl.get(), kStatusValue, kStatusEnded);
    return engineEnded;
}

}  // namespace

void TraceNumbers(const char* format, int first, int second) {
    char line[kTextSize];
    FormatText(line, sizeof line, format, first, second);
    TraceMessage(line, nullptr, false);
}

void ReportStartFailure() {
    char label[kTextSize];
    LoadMessage(kMsgStartFailed, label);
    PrintSystemError(label);
}

int Win9xServiceMain(int debug) {
    TraceMessage("Win9xServiceMain begin\n", nullptr, false);
    // Without a console every line goes to the debugger channel, through the
    // writer so that none of them waits on a viewer. Declared first, it is
    // drained last, after the mutex is given back.
    DebugWriterScope writer(!debug);
    KernelHandle mutex;
    if (!debug) {
        // Lines go to the debugger channel: the console was given up at start.
        ServiceRunning = 1;
        mutex.reset(CreateMutexA(nullptr, FALSE, kInstanceMutexName));
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            PrintMessageId(kMsgAlreadyRunning, nullptr, false);
            mutex.reset();
            ServiceRunning = 0;
            return 0;
        }
    }
    if (!GetModuleHandleA(nullptr)) {
        PrintMessageId(kMsgStartFailed, nullptr, false);
        mutex.reset();
        ServiceRunning = 0;
        return 0;
    }
    RegKey productControl;
    bool engineEnded = RunBackgroundMode(debug, productControl);
    productControl.reset();
    mutex.reset();
    if (!debug) ServiceRunning = 0;
    TraceMessage("Win9xServiceMain complete\n", nullptr, false);
    if (!engineEnded) {
        // The engine thread is still in a search or a takeover: the shared
        // shut-down would unload Winsock and the product library and close
        // the product keys under it. The process ends here instead, with
        // everything it holds left to the system, and an exit code that
        // tells this end from a clean one.
        std::fflush(stdout);
        writer.Stop();
        ExitProcess(ERROR_TIMEOUT);
    }
    return 0;
}
