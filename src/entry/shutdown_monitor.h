#pragma once
// The hidden window of the Windows 9x background mode, on a thread of its
// own: it learns of the end of the Windows session and takes stop requests
// from other processes. Its flags are read by the supervisor.

#include <windows.h>

constexpr char kMonitorWindowClass[] = "Win9XPerchmanWndClass";
constexpr char kMonitorWindowTitle[] = "Win9XPerchmanWindow";

// Plain flags, read by polling.
extern volatile LONG ShutdownSeen;    // the session ends or the window has closed
extern volatile LONG MonitorStarted;  // the monitor thread runs
extern volatile DWORD ShutdownWaitMs; // how long WM_ENDSESSION is held
// Touched only with interlocked exchanges.
extern volatile LONG MonitorAbort;       // the window is asked to close
extern volatile LONG MonitorTerminated;  // the monitor thread has finished

void StartShutdownMonitor();
// Asks the window to close and waits until its thread has finished.
void StopShutdownMonitor();
LRESULT CALLBACK WndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
