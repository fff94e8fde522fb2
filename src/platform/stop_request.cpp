// The process's one stop request and the waits that give way to it.

#include "platform/stop_request.h"

#include "platform/system_functions.h"

volatile LONG ServiceStopFlag = 0;
volatile LONG BackgroundAbortFlag = 0;

namespace {

HANDLE volatile StopEvent = nullptr;
volatile LONG ShutdownNoted = 0;

// Without an event to wait on, a wait is cut into short sleeps, each
// followed by a look at the stop flags.
constexpr DWORD kStopPollMs = 50;

}  // namespace

void RequestEngineStop() {
    // The flag first: a loop that finds the event signalled then also finds
    // the flag set.
    if (EngineFunctions.IsWin9x)
        InterlockedExchange(&BackgroundAbortFlag, 1);
    else
        InterlockedExchange(&ServiceStopFlag, 1);
    if (HANDLE event = EngineStopEvent()) SetEvent(event);
}

HANDLE EngineStopEvent() {
    if (HANDLE event = StopEvent) return event;
    HANDLE made = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!made) return nullptr;
    // Two threads may make one at the same moment: the first one published
    // stays, the other is closed before anyone has seen it.
    HANDLE published = InterlockedCompareExchangePointer(&StopEvent, made, nullptr);
    if (published) {
        CloseHandle(made);
        return published;
    }
    return made;
}

void ClearEngineStop() {
    InterlockedExchange(&ShutdownNoted, 0);
    InterlockedExchange(&ServiceStopFlag, 0);
    InterlockedExchange(&BackgroundAbortFlag, 0);
    if (HANDLE event = StopEvent) ResetEvent(event);
}

bool EngineStopRequested() {
    if (EngineFunctions.IsWin9x) return InterlockedCompareExchange(&BackgroundAbortFlag, 0, 0) != 0;
    return InterlockedCompareExchange(&ServiceStopFlag, 0, 0) != 0;
}

void NoteSystemShutdown() { InterlockedExchange(&ShutdownNoted, 1); }

bool SystemShutdownNoted() { return InterlockedCompareExchange(&ShutdownNoted, 0, 0) != 0; }

bool WaitForEngineStop(uint32_t ms) {
    if (EngineStopRequested()) return true;
    if (HANDLE event = EngineStopEvent())
        return WaitForSingleObject(event, ms) == WAIT_OBJECT_0 || EngineStopRequested();
    for (uint32_t waited = 0; waited < ms; waited += kStopPollMs) {
        uint32_t step = ms - waited < kStopPollMs ? ms - waited : kStopPollMs;
        Sleep(step);
        if (EngineStopRequested()) return true;
    }
    return false;
}

EngineWait WaitForObjectOrEngineStop(HANDLE object, DWORD ms) {
    if (EngineStopRequested()) return EngineWait::Stopped;
    HANDLE event = EngineStopEvent();
    if (event) {
        HANDLE both[2] = {event, object};
        DWORD result = WaitForMultipleObjects(2, both, FALSE, ms);
        if (result == WAIT_OBJECT_0) return EngineWait::Stopped;
        if (result == WAIT_OBJECT_0 + 1) return EngineWait::Signalled;
        if (result == WAIT_TIMEOUT) return EngineWait::TimedOut;
        return EngineWait::Failed;
    }
    for (DWORD waited = 0;; waited += kStopPollMs) {
        DWORD step = ms == INFINITE || ms - waited >= kStopPollMs ? kStopPollMs : ms - waited;
        DWORD result = WaitForSingleObject(object, step);
        if (result == WAIT_OBJECT_0) return EngineWait::Signalled;
        if (result != WAIT_TIMEOUT) return EngineWait::Failed;
        if (EngineStopRequested()) return EngineWait::Stopped;
        if (ms != INFINITE && waited + step >= ms) return EngineWait::TimedOut;
    }
}
