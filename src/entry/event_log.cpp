// The service's event-log entries: the failure of a Windows call, with the
// system's own description of the error.

#include "entry/event_log.h"

#include <cstring>

#include "common/text.h"
#include "entry/run_modes.h"
#include "platform/system_functions.h"

EventLogFunctions EventLog;

namespace {

constexpr char kEventSource[] = "Perchman";
constexpr unsigned kMsgNoErrorText = 3;
// Allocated buffer, system table, inserts ignored: the system's text is data.
constexpr DWORD kSystemTextFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER |
                                   FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;

void DropLineEnd(char* text) {
    for (int i = 0; i < 2; ++i) {
        size_t n = std::strlen(text);
        if (n && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[n - 1] = '\0';
    }
}

}  // namespace

void ReportServiceEvent(WORD type, DWORD eventId, const char* text1, const char* text2,
                        const char* text3) {
    if (DebugMode) return;
    const char* texts[3];
    WORD count = 0;
    for (const char* text : {text1, text2, text3})
        if (text) texts[count++] = text;
    EventLogFunctions log = EventLog;
    if (!log.RegisterEventSourceA)
        log = {FrameFunctions.RegisterEventSourceA, FrameFunctions.ReportEventA,
               FrameFunctions.DeregisterEventSource};
    if (!log.RegisterEventSourceA || !log.ReportEventA || !log.DeregisterEventSource) return;
    HANDLE source = log.RegisterEventSourceA(nullptr, kEventSource);
    if (!source) return;
    log.ReportEventA(source, type, 0, eventId, nullptr, count, 0, texts, nullptr);
    log.DeregisterEventSource(source);
}

void ReportApiFailure(const char* functionName) {
    if (FrameFunctions.IsWin9x || DebugMode) return;
    DWORD code = GetLastError();
    char description[kTextSize];
    LookupErrorText(description);
    char text[kTextSize];
    FormatText(text, "%s (0x%x)", description, static_cast<unsigned>(code));
    ReportServiceEvent(EVENTLOG_ERROR_TYPE, kEventApiFailed, functionName, text, nullptr);
}

void LookupErrorText(char (&buffer)[kTextSize]) {
    DWORD code = GetLastError();
    char* system = nullptr;
    FormatMessageA(kSystemTextFlags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&system), 0, nullptr);
    if (system) {
        DropLineEnd(system);
        CopyText(buffer, system);
        LocalFree(system);
    } else {
        FormatMessageId(buffer, sizeof buffer, kMsgNoErrorText, static_cast<unsigned>(code));
    }
    SetLastError(code);
}
