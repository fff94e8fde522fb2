#pragma once
// perchman.exe of this build as the service "Perchman" of the prefix's
// service control manager, for the tests and benchmarks of the unattended
// mode. Installation is done here directly, not through "/install".

#include <windows.h>

#include <functional>

#include "common/handles.h"
#include "harness/harness.h"

namespace e2e {

struct ScmTraits {
    static SC_HANDLE invalid() { return nullptr; }
    static void close(SC_HANDLE handle) { CloseServiceHandle(handle); }
};
using ServiceHandle = UniqueHandle<SC_HANDLE, ScmTraits>;

// Any service of the prefix by its name; empty when it cannot be opened.
ServiceHandle OpenNamedService(const char* name, DWORD access = SERVICE_ALL_ACCESS);

// Own process, started on demand; 0 (also when it exists) or a Win32 error.
DWORD InstallPerchmanService();
void RemovePerchmanService();
// Its status, with the process id while it runs (all zero when not installed).
SERVICE_STATUS_PROCESS QueryPerchmanService();
// Starts it under the given Windows and waits until it reports running;
// 0 or the Win32 error (ERROR_SERVICE_REQUEST_TIMEOUT when it never ran).
DWORD StartPerchmanService(Windows version, DWORD waitMs = 20000);

struct ServiceStop {
    double ms = 0;  // from the stop control to the stopped report
    SERVICE_STATUS_PROCESS status = {};
    bool stopped = false;
};
// Sends the stop control (when it runs) and times it to "stopped".
ServiceStop StopPerchmanService(DWORD waitMs = 30000);

// Milliseconds of the performance counter, for the stops' and starts' times.
double NowMs();

// Polls condition every few milliseconds; false when timeoutMs passed first.
bool WaitUntil(const std::function<bool()>& condition, DWORD timeoutMs);

}  // namespace e2e
