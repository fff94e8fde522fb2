#pragma once
#include <windows.h>
// The unattended modes, the service frame and installation.

int RunAsService(int isWin9x);
void DebugService(int argc, char** argv);
void InstallService(const char* path, const char* serviceName, const char* exeName);
void RemoveService(const char* serviceName);

extern volatile LONG DebugMode;
