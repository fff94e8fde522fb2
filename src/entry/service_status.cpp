// The status reports of the service: one record, a check point that only
// ever counts up, and the four steps the frame reports through.

#include "entry/service_status.h"

#include "entry/event_log.h"
#include "entry/run_modes.h"
#include "platform/system_functions.h"
#include "output/output.h"

SERVICE_STATUS ServiceStatusRecord = {};
SERVICE_STATUS_HANDLE ServiceStatusHandle = nullptr;

namespace {

// The first pending report of the process carries 1. The dispatcher thread
// (a stop control) and the service thread both report, so the counter is
// advanced atomically.
volatile LONG NextCheckPoint = 1;

BOOL ReportStep(const char* step, DWORD state, DWORD exitCode, DWORD waitHintMs) {
    DebugOutput(step);
    return UpdateServiceStatus(state, exitCode, waitHintMs);
}

}  // namespace

BOOL UpdateServiceStatus(DWORD state, DWORD exitCode, DWORD waitHintMs) {
    if (FrameFunctions.IsWin9x || DebugMode) return 1;

    // Both threads write the shared record without a lock; each report is
    // built in a copy of its own so that it never sends a half-written mix.
    SERVICE_STATUS status = ServiceStatusRecord;
    status.dwControlsAccepted = state == SERVICE_START_PENDING ? 0 : SERVICE_ACCEPT_STOP;
    status.dwCurrentState = state;
    status.dwWin32ExitCode = exitCode;
    status.dwWaitHint = waitHintMs;
    if (state == SERVICE_RUNNING || state == SERVICE_STOPPED)
        status.dwCheckPoint = 0;
    else
        status.dwCheckPoint = static_cast<DWORD>(InterlockedIncrement(&NextCheckPoint) - 1);
    ServiceStatusRecord = status;

    BOOL reported = FrameFunctions.SetServiceStatus
                        ? FrameFunctions.SetServiceStatus(ServiceStatusHandle, &status)
                        : FALSE;
    if (!reported) ReportApiFailure("SetServiceStatus");
    return reported;
}

BOOL KeepSCMHappyOnStart(DWORD waitHintMs) {
    return ReportStep("KeepSCMHappyOnStart", SERVICE_START_PENDING, 0, waitHintMs);
}

BOOL KeepSCMHappyOnStop(DWORD waitHintMs) {
    return ReportStep("KeepSCMHappyOnStop", SERVICE_STOP_PENDING, 0, waitHintMs);
}

BOOL TellSCMGoodToGo() { return ReportStep("TellSCMGoodToGo", SERVICE_RUNNING, 0, 0); }

BOOL TellSCMAllDoneNow(DWORD exitCode) {
    return ReportStep("TellSCMAllDoneNow", SERVICE_STOPPED, exitCode, 0);
}
