#pragma once
// The Windows 9x background mode: the supervisor on main's thread, the
// hidden window that learns of the end of the session, and the engine thread.

// Held by the running background instance until it has ended.
constexpr char kInstanceMutexName[] = "Win9XPerchmanMutex";

// Runs the background mode until it is asked to stop; returns 0. debug is 1
// under "/debug" (no mutex, no RegisterServiceProcess, lines on the console).
int Win9xServiceMain(int debug);
// Tells a running background instance, found by its hidden window, to stop;
// non-zero when the window was found and the request posted.
int StopBackgroundInstance();
