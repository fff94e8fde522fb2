// The status reports of the service: one record, a check point that only
// ever counts up, the four steps the frame reports through, and the reports
// that keep the manager informed while a stop is in progress.

#include "entry/service_status.h"

#include "common/text.h"
#include "entry/event_log.h"
#include "entry/run_modes.h"
#include "platform/system_functions.h"
#include "output/output.h"

SERVICE_STATUS ServiceStatusRecord = {};
// The product's stop wait (a minute, kStopWaitLimitMs) is the longest wait a
// stop cannot cut; a remote call's own time-out may follow it.
DWORD StopProgressLimitMs = 90000;
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;

namespace {

constexpr DWORD kAcceptedWhileUp = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
constexpr DWORD kStopProgressPeriodMs = 1000;
constexpr DWORD kStopProgressWaitHintMs = 3000;
constexpr char kStopStalledText[] =
    "Perchman has been stopping for %u s and is waiting on a call it cannot cut short (the "
    "product library on a server, the copy of the update history, or the product's own stop); "
    "it no longer reports progress to the service control manager.";

// The dispatcher thread (controls), the service thread and the stop-progress
// thread all report. One report at a time, from its check point to its
// SetServiceStatus, so that the manager never sees a check point go down or
// a state it has already left.
struct ReportLock {
    CRITICAL_SECTION section;
    ReportLock() { InitializeCriticalSection(&section); }
};
ReportLock Lock;

class LockedReport {
public:
    LockedReport() { EnterCriticalSection(&Lock.section); }
    ~LockedReport() { LeaveCriticalSection(&Lock.section); }
    LockedReport(const LockedReport&) = delete;
    LockedReport& operator=(const LockedReport&) = delete;
};

// The first pending report of the process carries 1; never reset.
DWORD NextCheckPoint = 1;
// Once "stopped" has gone out the manager may let the process end at any
// moment: nothing is reported after it.
bool StoppedReported = false;

// The stop-progress thread of the current run, under the lock.
HANDLE ProgressThread = nullptr;
HANDLE ProgressDone = nullptr;
bool ProgressClosed = false;

BOOL ReportStep(const char* step, DWORD state, DWORD exitCode, DWORD waitHintMs) {
    DebugOutput(step);
    return UpdateServiceStatus(state, exitCode, waitHintMs);
}

// Under the lock.
BOOL SendStatus(DWORD state, DWORD exitCode, DWORD specificExitCode, DWORD waitHintMs) {
    if (StoppedReported) return FALSE;
    SERVICE_STATUS status = ServiceStatusRecord;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : kAcceptedWhileUp;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwServiceSpecificExitCode = specificExitCode;
    status.dwWaitHint = waitHintMs;
    status.dwCheckPoint =
        state == SERVICE_RUNNING || state == SERVICE_STOPPED ? 0 : NextCheckPoint++;
    ServiceStatusRecord = status;

    BOOL reported = FrameFunctions.SetServiceStatus
                        ? FrameFunctions.SetServiceStatus(ServiceStatusHandle, &status)
                        : FALSE;
    if (!reported) {
        ReportApiFailure("SetServiceStatus");
    } else if (state == SERVICE_STOPPED) {
        StoppedReported = true;
    }
    return reported;
}

// Past the limit the stop waits on something that cannot be cut, and a rising
// check point would only hide that: the manager is left to see a stop that
// no longer moves, and the event log says why.
DWORD WINAPI ReportStopProgress(void* done) {
    uint32_t start = ClockMs();
    while (WaitForSingleObject(static_cast<HANDLE>(done), kStopProgressPeriodMs) == WAIT_TIMEOUT) {
        uint32_t elapsed = ElapsedMs(start, ClockMs());
        if (elapsed >= StopProgressLimitMs) {
            char text[kTextSize];
            FormatText(text, kStopStalledText, static_cast<unsigned>(elapsed / 1000));
            ReportServiceEvent(EVENTLOG_WARNING_TYPE, kEventStopStalled, text, nullptr, nullptr);
            return 0;
        }
        KeepSCMHappyOnStop(kStopProgressWaitHintMs);
    }
    return 0;
}

}  // namespace

BOOL UpdateServiceStatus(DWORD state, DWORD exitCode, DWORD waitHintMs) {
    if (FrameFunctions.IsWin9x || DebugMode) return 1;
    LockedReport locked;
    return SendStatus(state, exitCode, 0, waitHintMs);
}

BOOL ReportCurrentState() {
    if (FrameFunctions.IsWin9x || DebugMode) return 1;
    LockedReport locked;
    return SendStatus(ServiceStatusRecord.dwCurrentState, 0, 0, 0);
}

BOOL KeepSCMHappyOnStart(DWORD waitHintMs) {
    return ReportStep("KeepSCMHappyOnStart", SERVICE_START_PENDING, 0, waitHintMs);
}

BOOL KeepSCMHappyOnStop(DWORD waitHintMs) {
    return ReportStep("KeepSCMHappyOnStop", SERVICE_STOP_PENDING, 0, waitHintMs);
}

BOOL TellSCMGoodToGo() { return ReportStep("TellSCMGoodToGo", SERVICE_RUNNING, 0, 0); }

BOOL TellSCMAllDoneNow(DWORD exitCode, DWORD specificExitCode) {
    DebugOutput("TellSCMAllDoneNow");
    if (FrameFunctions.IsWin9x || DebugMode) return 1;
    LockedReport locked;
    return SendStatus(SERVICE_STOPPED, exitCode, specificExitCode, 0);
}

void BeginServiceReports() {
    LockedReport locked;
    StoppedReported = false;
    ProgressClosed = false;
    if (!ProgressDone) ProgressDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ProgressDone) ResetEvent(ProgressDone);
}

void StartStopProgress() {
    LockedReport locked;
    if (ProgressClosed || ProgressThread || !ProgressDone) return;
    ProgressThread = CreateThread(nullptr, 0, ReportStopProgress, ProgressDone, 0, nullptr);
}

void EndStopProgress() {
    HANDLE thread = nullptr;
    {
        LockedReport locked;
        ProgressClosed = true;
        thread = ProgressThread;
        ProgressThread = nullptr;
        if (ProgressDone) SetEvent(ProgressDone);
    }
    // Outside the lock: the thread may be waiting for it to report.
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}
