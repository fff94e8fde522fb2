#pragma once
// Process-wide preparation before dispatch, and the matching shut-down.

int InitEngine(int unattended, int keepConsole, int* status);
int DeInitEngine(int* status);
