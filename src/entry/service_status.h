#pragma once
// What the service control manager is told about the service, and when.

#include <windows.h>

// The one status record of the process; RemoveService queries into it too.
extern SERVICE_STATUS ServiceStatusRecord;
// From RegisterServiceCtrlHandlerA; null until ServiceMain has it.
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// Reports a state; non-zero on success (and always under "/debug" or on
// Windows 9x, where nothing is reported). A failed report writes an event.
// Reports are sent one at a time with rising check points, and none after
// "stopped" (those return FALSE).
BOOL UpdateServiceStatus(DWORD state, DWORD exitCode, DWORD waitHintMs);
// The state last reported, again (the answer to an interrogate).
BOOL ReportCurrentState();

BOOL KeepSCMHappyOnStart(DWORD waitHintMs);
BOOL KeepSCMHappyOnStop(DWORD waitHintMs);
BOOL TellSCMGoodToGo();
// A failed run ends with ERROR_SERVICE_SPECIFIC_ERROR and its status.
BOOL TellSCMAllDoneNow(DWORD exitCode, DWORD specificExitCode = 0);

// A run of the service: reports may go out again (the tests run ServiceMain
// more than once in a process).
void BeginServiceReports();
// While a stop is in progress, stop-pending is reported every second with
// an advancing check point, until EndStopProgress, which waits for the
// reporting thread to end. Starting again after the end does nothing.
void StartStopProgress();
void EndStopProgress();
// How long the reports of a stop in progress go on; then a warning event
// says that the stop waits on something it cannot cut. Shorter only in tests.
extern DWORD StopProgressLimitMs;
