#pragma once
// The NT service frame around the engine loop, and the "/debug" console that
// runs the same body. RunAsService and DebugService (run_modes.h) are its
// entries from the command line.

#include <windows.h>

void WINAPI ServiceMain(DWORD argc, char** argv);
void WINAPI ServiceControl(DWORD controlCode);
void RunServiceBody(DWORD argc, char** argv);
void ServiceStop();
BOOL WINAPI ConsoleControlHandler(DWORD controlType);

// The product session of the unattended modes (not the command line's).
extern HANDLE ServiceSession;
