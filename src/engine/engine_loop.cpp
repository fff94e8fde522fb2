// Choosing the loop of the running system, and asking it to stop.

#include "engine/engine_loop.h"

#include "platform/system_functions.h"

namespace {

const char* volatile FailedStep = nullptr;
volatile LONG FailedStatus = 0;

}  // namespace

int RunEngineLoop(StopPendingReport reportStopPending) {
    if (EngineFunctions.IsWin9x)
        MainLoop();
    else
        ServiceLoop(reportStopPending);
    return 0;
}

int StopEngineLoop() {
    RequestEngineStop();
    return 0;
}

void RecordEngineFailure(const char* step, DWORD status) {
    if (FailedStep) return;  // the first failure is the cause
    FailedStatus = static_cast<LONG>(status);
    FailedStep = step;
}

EngineFailure TakeEngineFailure() {
    EngineFailure failure;
    failure.step = FailedStep;
    failure.status = static_cast<DWORD>(FailedStatus);
    FailedStep = nullptr;
    FailedStatus = 0;
    return failure;
}
