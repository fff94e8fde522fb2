#pragma once
// What the parent and HPD takeovers share: where the product reads its client
// configuration file, and the waits for the product to take it in.

#include <windows.h>

#include <cstdint>

constexpr DWORD kProductWaitMs = 60000;
constexpr DWORD kProductPollMs = 5;

// Refills HomeDirectory and puts the path of HPD.DAT into out (MAX_PATH
// bytes). false, with out empty, when there is no usable path: the last error
// is ERROR_PATH_NOT_FOUND when the home directory it needs is empty or
// missing, ERROR_FILENAME_EXCED_RANGE when the path would not fit.
bool WorkOutHpdPath(char* out);

// Polls ProductControl's "ProcessHPDNow" until the product sets it back to 0;
// false when the wait ran out.
bool WaitForHpdProcessed();
