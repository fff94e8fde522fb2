#pragma once
// The unattended engine: one working thread runs the loop of its system
// family (ServiceLoop on NT, MainLoop on Windows 9x) until another thread asks
// it to stop.

#include <windows.h>
#include <cstdint>

#include "platform/stop_request.h"


// How the NT loop tells whoever runs it that it has begun to stop, before it
// saves anything (the service frame reports stop-pending through it); false
// ends the loop there. The engine sits below the frame, so the frame hands it in.
using StopPendingReport = BOOL (*)(DWORD waitHintMs);

// Runs the loop of this system family; returns when it has ended. The report
// may be null (the Windows 9x loop has no one to tell).
int RunEngineLoop(StopPendingReport reportStopPending);
// Asks the running loop to end; called from another thread. Returns 0.
int StopEngineLoop();

void ServiceLoop(StopPendingReport reportStopPending);
void MainLoop();

// How often the NT loop looks at the machine's addresses when nothing else
// wakes it: a minute; shorter only in tests.
extern DWORD AddressCheckPeriodMs;

// Why the running loop could not go on: the step that failed and its status,
// for the frame to report. The loop records at most one.
struct EngineFailure {
    const char* step = nullptr;  // null: none
    DWORD status = 0;
};
void RecordEngineFailure(const char* step, DWORD status);
// The recorded failure, taken out (the next call gives none).
EngineFailure TakeEngineFailure();
