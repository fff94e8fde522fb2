#pragma once
// What the service control manager is told about the service, and when.

#include <windows.h>

// The one status record of the process; RemoveService queries into it too.
extern SERVICE_STATUS ServiceStatusRecord;
// From RegisterServiceCtrlHandlerA; null until ServiceMain has it.
extern SERVICE_STATUS_HANDLE ServiceStatusHandle;

// Reports a state; non-zero on success (and always under "/debug" or on
// Windows 9x, where nothing is reported). A failed report writes an event.
BOOL UpdateServiceStatus(DWORD state, DWORD exitCode, DWORD waitHintMs);

BOOL KeepSCMHappyOnStart(DWORD waitHintMs);
BOOL KeepSCMHappyOnStop(DWORD waitHintMs);
BOOL TellSCMGoodToGo();
BOOL TellSCMAllDoneNow(DWORD exitCode);
