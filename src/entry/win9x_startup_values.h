#pragma once
// The Windows 9x registration: a value under RunServices, from which the
// system starts the program without arguments at every boot.

#include <cstddef>

// 1 when the value was written. The key is opened, never created.
int SetRunServicesValue(const char* name, const char* path);
// 1 when the value was read (always terminated within size).
int GetRunServicesValue(const char* name, char* buffer, size_t size);
// Deletes the value from Run and from RunServices; 1 when either went.
int DeleteStartupValues(const char* name);
// Starts the registered program hidden, in a new console, without arguments;
// the result of CreateProcessA, 0 when the value cannot be read.
int StartFromRunServices(const char* name);
