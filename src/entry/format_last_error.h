#pragma once
// The system's description of the calling thread's last error, as the
// installation messages show it: "text (0xcode)", or nothing when it does not
// fit.

#include <cstddef>

constexpr size_t kErrorTextSize = 256;
// The process-wide buffer the installation messages are formatted with.
extern char ErrorText[kErrorTextSize];

// Fills buffer (of size bytes) and returns it; the last error is kept.
char* FormatLastError(char* buffer, size_t size);
