// The unattended modes (NT service frame, Windows 9x background mode) and
// service installation are not built yet. Until they are, their branches do
// nothing visible beyond what the command line itself prints, so that no run
// claims an effect it did not have.

#include "entry/run_modes.h"

volatile LONG DebugMode = 0;

int RunAsService(int) { return 1; }
void DebugService(int, char**) {}
void InstallService(const char*, const char*, const char*) {}
void RemoveService(const char*) {}
