#pragma once
// Process-wide preparation before dispatch, and the matching shut-down.

#include "platform/network_libraries.h"

int InitEngine(int unattended, int keepConsole, int* status);
int DeInitEngine(int* status);

// The network libraries, into the tables of platform/network_libraries.h.
DWORD LoadWinsock();
DWORD UnloadWinsock();
DWORD LoadWinInet();
