#pragma once
// What the WDR and KPZ takeovers share: the server path of the agent's files,
// fetching the files into the agent's directory, and switching the role off
// once the agent has been moved.

#include <windows.h>

constexpr size_t kServerPathSize = 256;
// How long a takeover waits for an agent's tool that still runs; shorter only in tests.
extern DWORD ToolEndWaitMs;

// The server path named by valueName in ProductControl, or fallback when the
// value is absent, unreadable or not text. Returns the query's status.
LONG ReadAgentServerPath(const char* valueName, const char* fallback,
                         char (&serverPath)[kServerPathSize]);

// Reports a server path that cannot be used: the message with the system's
// text for status.
void ReportServerPathError(unsigned messageId, DWORD status);

struct AgentFile {
    const char* name;
    unsigned failureMessage;  // reported with the system's last-error code
};

// The remote sources ("$\" + serverPath + "\" + name) and local destinations
// (directory + name) of an agent's files, all built before anything is copied.
struct AgentFileSet {
    static constexpr size_t kMaxFiles = 3;
    char remote[kMaxFiles][MAX_PATH];
    char local[kMaxFiles][MAX_PATH];
    const AgentFile* files = nullptr;
    size_t count = 0;
};

// false when a path does not fit its buffer (nothing is then fetched).
bool BuildAgentFileSet(AgentFileSet& set, const AgentFile* files, size_t count,
                       const char* serverPath, const char* directory);

// Copies every file from the server in order, reporting each failed copy with
// its message; true when all arrived. A local file still held by a tool that
// runs on (left by an earlier stop) is waited for, ToolEndWaitMs at most, and
// reported with its message and ERROR_SHARING_VIOLATION when it stays held.
bool FetchAgentFiles(const char* server, const AgentFileSet& set);

// The role has been moved: its switch goes off for this run and its registry
// value for later runs. A failed deletion is reported with failureMessage.
void SwitchRoleOff(DWORD& roamSwitch, const char* valueName, unsigned failureMessage);
