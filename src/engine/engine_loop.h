#pragma once
// The unattended engine: one working thread runs the loop of its system
// family (ServiceLoop on NT, MainLoop on Windows 9x) until another thread asks
// it to stop.

#include <windows.h>
#include <cstdint>

// Runs the loop of this system family; returns when it has ended.
int RunEngineLoop(void* arg);
// Asks the running loop to end; called from another thread. Returns 0.
int StopEngineLoop();

void ServiceLoop();
void MainLoop();

// Stop requests as the loops see them. The NT loop waits on StopEvent and
// sets ServiceStopFlag when it sees it; the Windows 9x loop reads and clears
// BackgroundAbortFlag with an interlocked exchange once per pass.
extern HANDLE StopEvent;
extern volatile LONG ServiceStopFlag;
extern volatile LONG BackgroundAbortFlag;

// Whether a stop has been asked for, without consuming the request.
bool EngineStopRequested();
// Sleeps up to ms, returning early (true) when the engine is asked to stop:
// the waits inside a search (the retry pause) use it, so that a stop request
// is honoured within moments instead of after the whole pause.
bool WaitForEngineStop(uint32_t ms);
