// Starting and stopping the engine thread of the Windows 9x background mode.
// The thread opens its own product session, runs the engine loop, and says
// when it has finished; the supervisor waits for that only so long.

#include "entry/win9x_engine_thread.h"

#include <cstdint>

#include "common/handles.h"
#include "common/text.h"
#include "engine/engine_loop.h"
#include "entry/service_frame.h"
#include "entry/win9x_report.h"
#include "output/output.h"
#include "product/product_library.h"

volatile LONG EngineStarted = 0;
volatile LONG EngineTerminated = 0;

namespace {

constexpr uint32_t kEngineStopLimitMs = 10000;
constexpr DWORD kStopPollMs = 10;
// Between an engine thread's word that it has finished and its end.
constexpr DWORD kGoneGraceMs = 1000;

KernelHandle EngineThread;

DWORD WINAPI Win9xServiceStart(void*) {
    TraceMessage("Win9xServiceStart\n", nullptr, false);
    product::Status session = OpenProductSession(&ServiceSession);
    if (session != 0) {
        // EngineTerminated stays clear: the supervisor's stop then waits its
        // full limit, which is what tells a failed start from a finished run.
        // The line names the session's own status, not whatever last error
        // the attempt left behind.
        SetLastError(session);
        ReportStartFailure();
        return 0;
    }
    RunEngineLoop(nullptr);
    DebugOutput("Service completing");
    CloseProductSession(&ServiceSession);
    DebugOutput("DeInitCom complete");
    TraceMessage("Win9xServiceStart complete\n", nullptr, false);
    InterlockedExchange(&EngineTerminated, 1);
    return 0;
}

}  // namespace

void InitZirRoam() {
    InterlockedExchange(&EngineTerminated, 0);
    EngineThread.reset(CreateThread(nullptr, 0, Win9xServiceStart, nullptr, 0, nullptr));
    EngineStarted = EngineThread ? 1 : 0;
    TraceNumbers("InitZirRoam complete %d\n", static_cast<int>(EngineStarted));
}

bool AwaitEngineEnd(HANDLE thread, volatile LONG* finished, uint32_t limitMs) {
    uint32_t start = ClockMs();
    bool said = false;
    for (;;) {
        if (InterlockedExchange(finished, 0)) {
            said = true;
            break;
        }
        // One more look once the limit is reached: the word may have come
        // between the last look and the reading of the clock.
        if (ElapsedMs(start, ClockMs()) >= limitMs) {
            said = InterlockedExchange(finished, 0) != 0;
            break;
        }
        Sleep(kStopPollMs);
    }
    // The thread says it has finished a moment before it is gone: what is
    // left of the limit is for that moment, and never less than the moment
    // itself, also when the word came at the limit. A thread that ended
    // without saying so (its session failed) has still ended; only one that
    // runs on is a danger to the shut-down.
    uint32_t elapsed = ElapsedMs(start, ClockMs());
    DWORD left = elapsed < limitMs ? limitMs - elapsed : 0;
    if (said && left < kGoneGraceMs) left = kGoneGraceMs;
    return !thread || WaitForSingleObject(thread, left) == WAIT_OBJECT_0;
}

bool DeInitZirRoam() {
    TraceNumbers("DeInitZirRoam begin %d\n", static_cast<int>(EngineStarted));
    bool started = EngineStarted != 0;
    if (started) {
        EngineStarted = 0;
        StopEngineLoop();
    }
    bool ended = started ? AwaitEngineEnd(EngineThread.get(), &EngineTerminated, kEngineStopLimitMs)
                         : !EngineThread || WaitForSingleObject(EngineThread.get(), 0) == WAIT_OBJECT_0;
    TraceNumbers("DeInitZirRoam complete started %x terminated %d\n", static_cast<int>(EngineStarted),
          static_cast<int>(InterlockedCompareExchange(&EngineTerminated, 0, 0)));
    EngineThread.reset();
    return ended;
}
