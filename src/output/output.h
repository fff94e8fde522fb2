#pragma once
// Everything the program says to a person, and the process-wide clock.

#include <windows.h>
#include <cstdarg>
#include <cstdint>
#include <cstdio>

constexpr size_t kTextSize = 1024;  // message texts and lines: at most 1023 characters

// Detail lines reach the console only with ShowDetail (interactive modes) or
// the debugger channel with ServiceRunning (unattended modes).
extern volatile LONG ShowDetail;
extern volatile LONG ServiceRunning;

// The two shared buffers of the thread that runs the mode: a loaded message
// and the line formatted from it. Other threads format into buffers of their own.
extern char MessageText[kTextSize];
extern char LineText[kTextSize];

// Milliseconds since the first reading in the process (the first call gives 0).
uint32_t ClockMs();
// end - start, wrap-safe.
inline uint32_t ElapsedMs(uint32_t start, uint32_t end) { return end - start; }

void PrintMessage(const char* text, FILE* file, bool detail);
void DebugOutput(const char* text);
void TraceMessage(const char* text, FILE* file, bool detail);
void PrintLastError(const char* text, FILE* file, bool withSystemText);
void PrintErrorMessage(unsigned messageId, bool withSystemText);
// The same error line with a status of the caller's (a library status, say)
// in place of the last-error code.
void PrintStatusMessage(unsigned messageId, uint32_t status, bool withSystemText);
// Standard output, or the debugger channel while ServiceRunning is set.
void PrintSystemError(const char* label);
// The line of the product library's virus alert, on standard output.
void PrintVirusAlert(const char* virusName);

// Loads a message of the string table into out (empty when it is missing).
void LoadMessage(unsigned messageId, char* out, size_t size);
template <size_t N>
void LoadMessage(unsigned messageId, char (&out)[N]) { LoadMessage(messageId, out, N); }

// Loads message id, formats it with the arguments and prints it. The
// arguments are data; the format is always the program's own message.
void PrintMessageId(unsigned messageId, FILE* file, bool detail, ...);
void PrintMessageIdV(unsigned messageId, FILE* file, bool detail, va_list args);
// Same, formatted into caller buffers (for threads other than the mode's).
void FormatMessageId(char* out, size_t size, unsigned messageId, ...);
