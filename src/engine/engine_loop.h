#pragma once
// The unattended engine: one working thread runs the loop of its system
// family (ServiceLoop on NT, MainLoop on Windows 9x) until another thread asks
// it to stop.

#include <windows.h>
#include <cstdint>

#include "common/handles.h"

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

// Stop requests as the loops see them. The NT loop waits on StopEvent and
// sets ServiceStopFlag when it sees it; the Windows 9x loop reads and clears
// BackgroundAbortFlag with an interlocked exchange once per pass, and pauses
// between passes on StopEvent so that a stop does not wait out the pause.
extern HANDLE StopEvent;
extern volatile LONG ServiceStopFlag;
extern volatile LONG BackgroundAbortFlag;

// The running loop's stop event lives in the global that StopEngineLoop
// signals; it is taken out of the global before it is closed.
struct StopEventTraits {
    static HANDLE invalid() { return nullptr; }
    static void close(HANDLE event) {
        InterlockedCompareExchangePointer(&StopEvent, nullptr, event);
        CloseHandle(event);
    }
};
using StopEventOwner = UniqueHandle<HANDLE, StopEventTraits>;
// A manual-reset event, unsignalled, published in StopEvent; empty on failure.
StopEventOwner CreateStopEvent();

// Whether a stop has been asked for, without consuming the request.
bool EngineStopRequested();
// Sleeps up to ms, returning early (true) when the engine is asked to stop:
// the waits inside a search (the retry pause) use it, so that a stop request
// is honoured within moments instead of after the whole pause.
bool WaitForEngineStop(uint32_t ms);
