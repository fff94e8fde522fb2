#pragma once
// The process's one stop request: asked for by the thread that stops the
// engine, seen by every wait of the engine and of the rooms below it (a
// takeover's waits for the product, a search's pauses, a tool's run). It sits
// on the ground floor so that those waits need not reach up to the engine.

#include <windows.h>
#include <cstdint>

// Stop requests as the loops see them. The NT loop waits on the stop event
// and sets ServiceStopFlag when it sees it; the Windows 9x loop reads and
// clears BackgroundAbortFlag with an interlocked exchange once per pass, and
// pauses between passes on the stop event so that a stop does not wait out
// the pause.
extern volatile LONG ServiceStopFlag;
extern volatile LONG BackgroundAbortFlag;

// Sets the flag of the running system family, then signals the event.
void RequestEngineStop();

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

// The stop comes with the end of the system's session (SERVICE_CONTROL_SHUTDOWN,
// WM_ENDSESSION): whatever the stop still waits for on other machines gets
// only a few seconds, since the system holds its shutdown for it. Set before
// the stop is requested; taken back by ClearEngineStop.
void NoteSystemShutdown();
bool SystemShutdownNoted();
// Sleeps up to ms, returning early (true) when the engine is asked to stop:
// the waits inside a search and a takeover use it, so that a stop request is
// honoured within moments instead of after the whole pause.
bool WaitForEngineStop(uint32_t ms);
// Waits up to ms (INFINITE: without a limit) for object or a stop request,
// whichever comes first; a stop asked for before the call wins at once.
enum class EngineWait { Signalled, TimedOut, Stopped, Failed };
EngineWait WaitForObjectOrEngineStop(HANDLE object, DWORD ms);
