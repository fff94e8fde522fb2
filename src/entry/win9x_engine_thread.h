#pragma once
// The engine thread of the Windows 9x background mode.

#include <windows.h>

#include <cstdint>

extern volatile LONG EngineStarted;     // plain: the thread was started
extern volatile LONG EngineTerminated;  // interlocked: the thread has finished

void InitZirRoam();
// Asks the engine loop to stop and waits for the thread, at most 10 s.
// False when the thread still runs after that.
bool DeInitZirRoam();

// The wait of DeInitZirRoam: until the thread says it has finished (finished
// set, and cleared again here), then until it is gone, limitMs in all. True
// once the thread has ended, also one that ended without saying so.
bool AwaitEngineEnd(HANDLE thread, volatile LONG* finished, uint32_t limitMs);
