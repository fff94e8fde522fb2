#pragma once
// The engine thread of the Windows 9x background mode.

#include <windows.h>

extern volatile LONG EngineStarted;     // plain: the thread was started
extern volatile LONG EngineTerminated;  // interlocked: the thread has finished

void InitZirRoam();
// Asks the engine loop to stop and waits for the thread, at most 10 s.
// False when the thread still runs after that.
bool DeInitZirRoam();
