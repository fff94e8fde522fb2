// The shutdown monitor: a window that is never shown, whose messages are the
// only way Windows 9x tells a background process that the session ends, and
// through which another process can ask the running instance to stop.

#include "entry/shutdown_monitor.h"

#include "common/handles.h"
#include "common/text.h"
#include "engine/network_change.h"
#include "entry/win9x_background.h"
#include "entry/win9x_report.h"
#include "output/output.h"
#include "platform/stop_request.h"

volatile LONG ShutdownSeen = 0;
volatile LONG MonitorStarted = 0;
volatile DWORD ShutdownWaitMs = 0;
volatile LONG MonitorAbort = 0;
volatile LONG MonitorTerminated = 0;

namespace {

// The monitor's window while it exists, for the stop's nudge.
HWND volatile MonitorWindow = nullptr;

constexpr UINT_PTR kTimerId = 1;
constexpr UINT kTimerPeriodMs = 1000;
constexpr DWORD kStopPollMs = 10;
constexpr DWORD kOverlappedWindow = 0xCF0000;

bool RegisterMonitorClass() {
    WNDCLASSA windowClass = {};
    windowClass.lpfnWndProc = WndProc;
    windowClass.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH));
    windowClass.lpszClassName = kMonitorWindowClass;
    return RegisterClassA(&windowClass) != 0;
}

HWND CreateMonitorWindow() {
    return CreateWindowExA(0, kMonitorWindowClass, kMonitorWindowTitle, kOverlappedWindow,
                           CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           nullptr,   // no parent
                           nullptr,   // no menu
                           nullptr,   // no instance
                           nullptr);
}

// Whatever way the thread ends, StopShutdownMonitor must learn of it: it
// waits for MonitorTerminated without a time limit.
void MarkMonitorFinished() {
    InterlockedExchange(&MonitorTerminated, 1);
    MonitorStarted = 0;
}

DWORD WINAPI ShutdownMonitor(void*) {
    TraceMessage("shutdownmonitor begin\n", nullptr, false);
    bool registered = RegisterMonitorClass();
    HWND window = registered ? CreateMonitorWindow() : nullptr;
    if (!window) {
        // ServiceRunning stays set: the process gave its console up, and
        // every later line of the engine must still reach the debugger channel.
        ReportStartFailure();
        // Only our own registration is taken back, never another module's.
        if (registered) UnregisterClassA(kMonitorWindowClass, nullptr);
        MarkMonitorFinished();
        return 0;
    }
    MonitorWindow = window;
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) DispatchMessageA(&message);
    MonitorWindow = nullptr;

    UnregisterClassA(kMonitorWindowClass, nullptr);
    InterlockedExchange(&MonitorTerminated, 1);
    ShutdownSeen = 1;
    MonitorStarted = 0;
    TraceNumbers("shutdownmonitor end - AbortNow %d Terminated %d\n", 1,
          static_cast<int>(InterlockedCompareExchange(&MonitorTerminated, 0, 0)));
    return 0;
}

void OnEndSession(WPARAM wParam, LPARAM lParam) {
    TraceNumbers("WM_ENDSESSION lparam %x\n", static_cast<int>(lParam));
    // A wParam of FALSE: another program vetoed the shutdown, and the session
    // goes on. A non-zero lParam is a log-off, which a registered service
    // process survives.
    if (!wParam || lParam != 0) return;
    NoteSystemShutdown();
    ShutdownSeen = 1;
    // Holding the message holds the end of the session while the supervisor,
    // which looks every 2000 ms, stops the engine.
    if (DWORD wait = ShutdownWaitMs) Sleep(wait);
}

}  // namespace

LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_TIMER) {
        int network = RequireNetwork(1);
        char line[kTextSize];
        FormatText(line, "WndProc %x %x %lx %d\n", message, static_cast<unsigned>(wParam),
                   static_cast<unsigned long>(lParam), network);
        TraceMessage(line, nullptr, false);
    }
    switch (message) {
    case WM_CREATE:
        return SetTimer(window, kTimerId, kTimerPeriodMs, nullptr) ? 0 : -1;
    case WM_DESTROY:
        TraceMessage("WM_DESTROY\n", nullptr, false);
        ShutdownSeen = 1;
        KillTimer(window, kTimerId);
        PostQuitMessage(0);
        return 0;
    case WM_ENDSESSION:
        OnEndSession(wParam, lParam);
        break;
    case WM_TIMER:
        if (wParam != kTimerId) break;
        if (InterlockedExchange(&MonitorAbort, 0)) DestroyWindow(window);
        return 0;
    default:
        break;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void StartShutdownMonitor() {
    InterlockedExchange(&MonitorAbort, 0);
    InterlockedExchange(&MonitorTerminated, 0);
    KernelHandle thread(CreateThread(nullptr, 0, ShutdownMonitor, nullptr, 0, nullptr));
    MonitorStarted = thread ? 1 : 0;
    TraceNumbers("StartShutdownMonitor complete %d\n", static_cast<int>(MonitorStarted));
}

void StopShutdownMonitor() {
    TraceNumbers("StopShutdownMonitor started %d terminated %d\n", static_cast<int>(MonitorStarted),
          static_cast<int>(InterlockedCompareExchange(&MonitorTerminated, 0, 0)));
    if (MonitorStarted) {
        MonitorStarted = 0;
        InterlockedExchange(&MonitorAbort, 1);
        // The window would close at its next tick; a tick now saves up to a
        // second of the stop.
        if (HWND window = MonitorWindow) PostMessageA(window, WM_TIMER, kTimerId, 0);
        while (!InterlockedExchange(&MonitorTerminated, 0)) Sleep(kStopPollMs);
    }
    TraceNumbers("StopShutdownMonitor complete %d\n", 1);
}

int StopBackgroundInstance() {
    HWND window = FindWindowA(kMonitorWindowClass, kMonitorWindowTitle);
    if (!window) return 0;
    return PostMessageA(window, WM_QUIT, 0, 0);
}
