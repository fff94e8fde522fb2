#pragma once
// Whether the managed product runs, and starting and stopping it: through the
// service control manager on the NT family, through the product's registry
// value and its control object on Windows 9x.

#include <windows.h>

#include "common/handles.h"
#include "platform/system_functions.h"

constexpr char kProductServiceName[] = "Kestrel Server";
// "Orientation" holds this while the product is stopped (Windows 9x).
constexpr DWORD kOrientationStopped = 5134;
// Start and stop: the service cannot be opened.
constexpr DWORD SERVICE_OPEN_FAILED = 0xCC800001;
// Start: the service was started, and a stop of the engine ended the wait for it.
constexpr DWORD START_CUT_BY_STOP = ERROR_OPERATION_ABORTED;
// The longest StopProductService waits for a service that stays stop-pending.
constexpr DWORD kStopWaitLimitMs = 60000;
// The longest StartProductService waits for a service that reports
// start-pending; a service that stops advancing its check point for longer
// than its own wait hint is given up earlier.
constexpr DWORD kStartWaitLimitMs = 30000;

using ServiceHandle = UniqueHandle<SC_HANDLE, BoundServiceHandleTraits<EngineFunctions>>;

// The local service control manager with full access; empty when it cannot be
// opened or the service functions are not bound (Windows 9x).
ServiceHandle OpenServiceManager();

// 1 when "Orientation" could be read (running = value is not 5134), else 0 and
// running is left as it was.
int ReadOrientation(DWORD* running);
int IsServiceRunning(SC_HANDLE manager, const char* serviceName);
// Each check opens the service afresh and closes it, so that a product
// service deleted and created again meanwhile is still found. Without an
// argument the check opens and closes the manager too; a takeover passes the
// manager it opened for its own steps (null: the product counts as not
// running). On Windows 9x the checks read "Orientation".
int IsProductRunning();
int IsProductRunning(SC_HANDLE manager);
// 0, SERVICE_OPEN_FAILED, or the error of StartService (message 75 printed);
// a service that already runs is no error. Returns once the service has left
// the start-pending state (or after kStartWaitLimitMs), so that the caller's
// next check sees whether it came up; START_CUT_BY_STOP when a stop of the
// engine ended that wait while the service was still starting.
DWORD StartProductService(SC_HANDLE manager, const char* serviceName);
// 0 once the service has left the stop-pending state, SERVICE_OPEN_FAILED, the
// error of ControlService, or ERROR_SERVICE_REQUEST_TIMEOUT when it is still
// stop-pending after kStopWaitLimitMs.
DWORD StopProductService(SC_HANDLE manager, const char* serviceName);
// 1 when the control object's method gave a non-negative result, else 0.
int StartProductObject();
int StopProductObject();
