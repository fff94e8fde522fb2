// Shared steps of the sibling agents' takeovers.

#include "takeover/agent_files.h"

#include "common/text.h"
#include "output/output.h"
#include "platform/stop_request.h"
#include "product/product_keys.h"
#include "takeover/process_runner.h"

LONG ReadAgentServerPath(const char* valueName, const char* fallback,
                         char (&serverPath)[kServerPathSize]) {
    CopyText(serverPath, fallback);
    // Queried into scratch: a value too long for the buffer fails the query,
    // and the system may have written part of it by then.
    char value[kServerPathSize + 1] = "";
    DWORD size = kServerPathSize;
    DWORD type = 0;
    LONG status = RegQueryValueExA(Keys.ProductControl, valueName, nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &size);
    if (status != ERROR_SUCCESS) return status;
    if (type != REG_SZ && type != REG_EXPAND_SZ) return ERROR_INVALID_DATA;
    value[size < kServerPathSize ? size : kServerPathSize] = '\0';
    // A value of 256 characters without a terminator does not fit the buffer;
    // cutting it would fetch from another path.
    if (!CopyText(serverPath, value)) {
        CopyText(serverPath, fallback);
        return ERROR_MORE_DATA;
    }
    return ERROR_SUCCESS;
}

void ReportServerPathError(unsigned messageId, DWORD status) {
    SetLastError(status);
    char text[kTextSize];
    LoadMessage(messageId, text);
    PrintLastError(text, nullptr, true);
}

bool BuildAgentFileSet(AgentFileSet& set, const AgentFile* files, size_t count,
                       const char* serverPath, const char* directory) {
    if (count > AgentFileSet::kMaxFiles) return false;
    set.files = files;
    set.count = count;
    for (size_t i = 0; i < count; ++i) {
        bool fits = FormatText(set.remote[i], "$\\%s\\%s", serverPath, files[i].name) &&
                    FormatText(set.local[i], "%s%s", directory, files[i].name);
        if (!fits) return false;
    }
    return true;
}

DWORD ToolEndWaitMs = 30000;

namespace {

constexpr DWORD kInUsePollMs = 100;

bool InUse(const char* path) {
    // Shared every way: only a running image (or a lock) refuses the writer.
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    HANDLE file = CreateFileA(path, GENERIC_WRITE, kShareAll, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    DWORD error = GetLastError();
    return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION;
}

// A tool that an earlier stop left running (the stop ends the wait for it,
// not the tool) holds its file: a copy onto it fails for as long as it runs.
// Waits for it to end, ToolEndWaitMs at most and giving way to a stop; false,
// with ERROR_SHARING_VIOLATION as the last error, when it still runs.
bool WaitUntilReplaceable(const char* path) {
    uint32_t start = ClockMs();
    while (InUse(path)) {
        if (ElapsedMs(start, ClockMs()) >= ToolEndWaitMs || WaitForEngineStop(kInUsePollMs)) {
            SetLastError(ERROR_SHARING_VIOLATION);
            return false;
        }
    }
    return true;
}

}  // namespace

bool FetchAgentFiles(const char* server, const AgentFileSet& set) {
    // Every file is fetched even after a failure, so that one run reports
    // everything the server lacks; whatever arrived stays in place.
    bool all = true;
    for (size_t i = 0; i < set.count; ++i) {
        // The code of the line tells why: the file is in use (0x20).
        if (!WaitUntilReplaceable(set.local[i])) {
            PrintErrorMessage(set.files[i].failureMessage, false);
            all = false;
            continue;
        }
        if (CopyFileFromServer(server, set.remote[i], set.local[i]) != 0) {
            PrintErrorMessage(set.files[i].failureMessage, false);
            all = false;
        }
    }
    return all;
}

void SwitchRoleOff(DWORD& roamSwitch, const char* valueName, unsigned failureMessage) {
    roamSwitch = 0;
    LONG status = RegDeleteValueA(Keys.ProductControl, valueName);
    if (status != ERROR_SUCCESS) {
        // Reg* functions return their status without setting the last error.
        SetLastError(static_cast<DWORD>(status));
        PrintErrorMessage(failureMessage, false);
    }
}
