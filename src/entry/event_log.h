#pragma once
// The service's entries in the system event log.

#include <windows.h>

#include "output/output.h"

// The event-log calls, replaceable by the tests (Wine keeps no event log to
// read back). Left null, the frame's bound ones are used: Windows 9x has no
// event log, and a static import would keep the program from loading there.
struct EventLogFunctions {
    decltype(&::RegisterEventSourceA) RegisterEventSourceA = nullptr;
    decltype(&::ReportEventA) ReportEventA = nullptr;
    decltype(&::DeregisterEventSource) DeregisterEventSource = nullptr;
};
extern EventLogFunctions EventLog;

// The id of "%1 failed: %2" in the executable's message table.
constexpr DWORD kEventApiFailed = 109;
// The id of "%1": a text of the program's own.
constexpr DWORD kEventStopStalled = 110;

// One entry under the source "Perchman"; null texts are left out.
void ReportServiceEvent(WORD type, DWORD eventId, const char* text1, const char* text2,
                        const char* text3);
// An error entry naming the failed function, with the system's text for the
// calling thread's last error and the code.
void ReportApiFailure(const char* functionName);
// The system's text for the last error, without its line end; message 3 when
// the system has none.
void LookupErrorText(char (&buffer)[kTextSize]);
