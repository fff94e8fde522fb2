#pragma once
// Setting up the product stand-in in the Wine prefix: its service under the
// service control manager and its control object's COM registration. Every
// function may be called again: installing what is installed updates it,
// removing what is absent succeeds.

#include <windows.h>

#include <string>

namespace kestrel {

// The lab programs' folder: the one this program was started from, unless
// given. Paths are Windows paths.
std::string LabDirectory();

// Creates "Kestrel Server" (own process, started on demand) for the service
// program in labDirectory, or points the existing one at it. 0 or a Win32 error.
DWORD InstallService(const std::string& labDirectory = LabDirectory());
// Stops the service when it runs and deletes it; 0 or a Win32 error.
DWORD UninstallService();
// Starts it and waits until it reports running; 0 also when it already ran.
DWORD StartService(DWORD waitMs = 10000);
// Stops it and waits until it reports stopped; 0 also when it was not running.
DWORD StopService(DWORD waitMs = 10000);
// The product as a whole stops or starts: its service, and "Orientation",
// which the program reads on Windows 9x; 0 or the service's Win32 error.
DWORD StopProduct();
DWORD StartProduct();
// The service's current state (SERVICE_RUNNING ...), 0 when it is not installed.
DWORD ServiceState();

// Registers the control object's DLL in labDirectory under its CLSID, or
// removes the registration.
DWORD RegisterControlObject(const std::string& labDirectory = LabDirectory());
DWORD UnregisterControlObject();

// Stops the service and removes it, the control object's registration and
// the stand-in's lab values: the prefix as before the product was set up.
void RemoveProduct();

// Clears the stand-in's lab values (delay, never-confirm, failure, counters).
void ResetBehaviour();
void SetBehaviour(const char* valueName, DWORD value);
DWORD ReadBehaviour(const char* valueName, DWORD fallback = 0);

}  // namespace kestrel
