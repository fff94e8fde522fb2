// Where lines go (console, debugger channel, report file), the numbered
// messages, and the millisecond clock.

#include "output/output.h"

#include <cstdarg>
#include <cstring>

#include "common/text.h"
#include "output/debug_writer.h"

volatile LONG ShowDetail = 0;
volatile LONG ServiceRunning = 0;
char MessageText[kTextSize];
char LineText[kTextSize];

namespace {

constexpr unsigned kMsgError = 2;
constexpr unsigned kMsgNoErrorText = 4;
constexpr unsigned kMsgVirusFound = 5;
constexpr unsigned kMsgReason = 18;

// The clock's epoch and mode, set on the first reading.
int64_t ClockEpoch = 0;
int64_t ClockFrequency = 0;
bool ClockUsesTickCount = false;

// The system's description of an error, owned by the system until released.
struct SystemText {
    char* text = nullptr;
    explicit SystemText(DWORD code) {
        FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                           FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                       reinterpret_cast<char*>(&text), 0, nullptr);
    }
    ~SystemText() {
        if (text) LocalFree(text);
    }
    SystemText(const SystemText&) = delete;
    SystemText& operator=(const SystemText&) = delete;
    const char* get() const { return text ? text : ""; }
    // Drops up to two trailing line-break characters.
    void TrimLineEnd() {
        if (!text) return;
        for (int i = 0; i < 2; ++i) {
            size_t n = std::strlen(text);
            if (n && (text[n - 1] == '\n' || text[n - 1] == '\r')) text[n - 1] = '\0';
        }
    }
};

void WriteStdout(const char* text) {
    std::fputs(text, stdout);
    std::fflush(stdout);
}

}  // namespace

uint32_t ClockMs() {
    if (ClockEpoch == 0 && !ClockUsesTickCount) {
        LARGE_INTEGER frequency, counter;
        if (QueryPerformanceFrequency(&frequency) && frequency.QuadPart > 0) {
            QueryPerformanceCounter(&counter);
            ClockFrequency = frequency.QuadPart;
            ClockEpoch = counter.QuadPart;
        } else {
            ClockUsesTickCount = true;
            ClockEpoch = GetTickCount();
        }
    }
    if (ClockUsesTickCount) return static_cast<uint32_t>(GetTickCount() - ClockEpoch);
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    int64_t delta = counter.QuadPart - ClockEpoch;
    int64_t ms = (delta / ClockFrequency) * 1000 + ((delta % ClockFrequency) * 1000) / ClockFrequency;
    return static_cast<uint32_t>(ms);
}

void LoadMessage(unsigned messageId, char* out, size_t size) {
    if (size == 0) return;
    // Callers load a message between a failure and the report of its code.
    DWORD lastError = GetLastError();
    out[0] = '\0';
    int capacity = size > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int>(size);
    if (LoadStringA(GetModuleHandleA(nullptr), messageId, out, capacity) <= 0) out[0] = '\0';
    SetLastError(lastError);
}

void PrintMessage(const char* text, FILE* file, bool detail) {
    if (detail && !ShowDetail && !ServiceRunning) return;
    if (ServiceRunning) {
        char line[kTextSize];
        CopyText(line, text);
        DebugOutput(line);
    } else {
        WriteStdout(text);
    }
    if (file) std::fputs(text, file);
}

void DebugOutput(const char* text) {
    char line[kTextSize];
    // The clock is read when the line is made, also when it is written later.
    FormatText(line, "%d - %s\n", static_cast<int>(ClockMs()), text);
    if (!QueueDebugLine(line)) OutputDebugStringA(line);
}

void TraceMessage(const char*, FILE*, bool) {}

void PrintLastError(const char* text, FILE* file, bool withSystemText) {
    char line[kTextSize];
    if (withSystemText) {
        DWORD code = GetLastError();
        SystemText description(code);
        char error[kTextSize];
        LoadMessage(kMsgError, error);
        FormatText(line, "%s - %s (%x) %s\n", text, error, static_cast<unsigned>(code),
                   description.get());
        PrintMessage(line, file, false);
    } else {
        FormatText(line, "%s \n", text);
        PrintMessage(line, file, false);
    }
}

void PrintErrorMessage(unsigned messageId, bool withSystemText) {
    DWORD code = GetLastError();
    PrintStatusMessage(messageId, code, withSystemText);
}

void PrintStatusMessage(unsigned messageId, uint32_t status, bool withSystemText) {
    DWORD lastError = GetLastError();
    char message[kTextSize];
    char error[kTextSize];
    char line[kTextSize];
    LoadMessage(messageId, message);
    LoadMessage(kMsgError, error);
    FormatText(line, "%s - %s (%x)\n", message, error, static_cast<unsigned>(status));
    SetLastError(lastError);
    PrintLastError(line, nullptr, withSystemText);
}

void PrintSystemError(const char* label) {
    DWORD code = GetLastError();
    SystemText description(code);
    description.TrimLineEnd();
    char format[kTextSize];
    char line[kTextSize];
    if (description.text && description.text[0]) {
        LoadMessage(kMsgReason, format);
        FormatText(line, format, label, description.get(), static_cast<unsigned>(code));
    } else {
        LoadMessage(kMsgNoErrorText, format);
        FormatText(line, format, label, static_cast<int>(code));
    }
    // The background process has given its console up: its failures would
    // otherwise be written nowhere.
    if (ServiceRunning)
        DebugOutput(line);
    else
        WriteStdout(line);
}

void PrintVirusAlert(const char* virusName) {
    char message[kTextSize];
    char format[kTextSize];
    char line[kTextSize];
    LoadMessage(kMsgVirusFound, message);
    FormatText(format, "VirusAlertCallback: %s", message);
    FormatText(line, format, virusName ? virusName : "");
    WriteStdout(line);
}

void PrintMessageIdV(unsigned messageId, FILE* file, bool detail, va_list args) {
    if (detail && !ShowDetail && !ServiceRunning) return;
    // Buffers of its own: the search's detail lines come from the engine's
    // thread while the mode's thread may be printing.
    char format[kTextSize];
    char line[kTextSize];
    LoadMessage(messageId, format);
    FormatTextV(line, sizeof line, format, args);
    PrintMessage(line, file, detail);
}

void PrintMessageId(unsigned messageId, FILE* file, bool detail, ...) {
    va_list args;
    va_start(args, detail);
    PrintMessageIdV(messageId, file, detail, args);
    va_end(args);
}

void FormatMessageId(char* out, size_t size, unsigned messageId, ...) {
    char format[kTextSize];
    LoadMessage(messageId, format);
    va_list args;
    va_start(args, messageId);
    FormatTextV(out, size, format, args);
    va_end(args);
}
