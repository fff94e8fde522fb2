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

// How often the NT loop looks at the machine's addresses when nothing else
// wakes it: a minute; shorter only in tests.
extern DWORD AddressCheckPeriodMs;

// Stop requests as the loops see them. The NT loop waits on the stop event
// and sets ServiceStopFlag when it sees it; the Windows 9x loop reads and
// clears BackgroundAbortFlag with an interlocked exchange once per pass, and
// pauses between passes on the stop event so that a stop does not wait out
// the pause.
extern volatile LONG ServiceStopFlag;
extern volatile LONG BackgroundAbortFlag;

// The engine's stop event: manual-reset, made by whichever comes first, the
// loop or a stop request, and kept for the life of the process, so that a
// stop arriving as a loop ends never signals a closed (or reused) handle.
// Null only when it could not be made; the flags then carry the stop alone.
HANDLE EngineStopEvent();
// Takes back a stop request (flags and event), for a process that runs the
// loop more than once: the tests.
void ClearEngineStop();

// Whether a stop has been asked for, without consuming the request.
bool EngineStopRequested();
// Sleeps up to ms, returning early (true) when the engine is asked to stop:
// the waits inside a search and a takeover use it, so that a stop request is
// honoured within moments instead of after the whole pause.
bool WaitForEngineStop(uint32_t ms);
// Waits up to ms (INFINITE: without a limit) for object or a stop request,
// whichever comes first; a stop asked for before the call wins at once.
enum class EngineWait { Signalled, TimedOut, Stopped, Failed };
EngineWait WaitForObjectOrEngineStop(HANDLE object, DWORD ms);

// Why the running loop could not go on: the step that failed and its status,
// for the frame to report. The loop records at most one.
struct EngineFailure {
    const char* step = nullptr;  // null: none
    DWORD status = 0;
};
void RecordEngineFailure(const char* step, DWORD status);
// The recorded failure, taken out (the next call gives none).
EngineFailure TakeEngineFailure();
