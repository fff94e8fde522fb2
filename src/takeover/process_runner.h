#pragma once
// Fetching files from servers and running the sibling agents' tools, each
// traced so that an administrator can follow what a takeover did.

#include <windows.h>

#include "product/product_interface.h"

product::Status CopyFileFromServer(const char* server, const char* remotePath,
                                   const char* localPath);

struct ToolRun {
    bool started = false;  // false: the system's last error says why
    DWORD exitCode = 0;
};
ToolRun RunAndWait(const char* toolPath, const char* commandLine, const char* workingDirectory);

void TraceCreateProcess(const char* toolPath, const char* workingDirectory,
                        const char* commandLine, DWORD exitCode);
void TraceRemoteFileCopy(const char* server, const char* remotePath, const char* localPath,
                         product::Status status);
