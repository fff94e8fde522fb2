// Choosing the loop of the running system, and asking it to stop.

#include "engine/engine_loop.h"

#include "platform/system_functions.h"

HANDLE StopEvent = nullptr;
volatile LONG ServiceStopFlag = 0;
volatile LONG BackgroundAbortFlag = 0;

namespace {

// Without a loop's event to wait on, the pause is cut into short sleeps,
// each followed by a look at the stop flags.
constexpr uint32_t kStopPollMs = 50;

}  // namespace

int RunEngineLoop(StopPendingReport reportStopPending) {
    if (EngineFunctions.IsWin9x)
        MainLoop();
    else
        ServiceLoop(reportStopPending);
    return 0;
}

int StopEngineLoop() {
    if (EngineFunctions.IsWin9x)
        InterlockedExchange(&BackgroundAbortFlag, 1);
    else
        InterlockedExchange(&ServiceStopFlag, 1);
    if (HANDLE event = StopEvent) SetEvent(event);
    return 0;
}

StopEventOwner CreateStopEvent() {
    StopEventOwner event(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    if (event) InterlockedExchangePointer(&StopEvent, event.get());
    return event;
}

bool EngineStopRequested() {
    if (EngineFunctions.IsWin9x) return InterlockedCompareExchange(&BackgroundAbortFlag, 0, 0) != 0;
    return InterlockedCompareExchange(&ServiceStopFlag, 0, 0) != 0;
}

bool WaitForEngineStop(uint32_t ms) {
    if (EngineStopRequested()) return true;
    // The loop closes its event when it ends: wait on the handle as read once.
    HANDLE event = StopEvent;
    if (event) return WaitForSingleObject(event, ms) == WAIT_OBJECT_0 || EngineStopRequested();
    for (uint32_t waited = 0; waited < ms; waited += kStopPollMs) {
        uint32_t step = ms - waited < kStopPollMs ? ms - waited : kStopPollMs;
        Sleep(step);
        if (EngineStopRequested()) return true;
    }
    return false;
}
