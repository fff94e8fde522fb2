#pragma once
// Lines shared by the threads of the Windows 9x background mode; each call
// formats into a buffer of its own, so any thread may use them.

// An English trace line with up to two numbers (discarded by TraceMessage).
void TraceNumbers(const char* format, int first, int second = 0);
// Message 136 with the system's text for the calling thread's last error.
void ReportStartFailure();
