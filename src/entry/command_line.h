#pragma once
// The checks of command-line text that need no system: numbers given to
// "/time_network" and the executable name given to "/install". Kept free of
// Windows headers so that they are built natively as well and fuzzed there.

#include <cstddef>

// Every argument is copied into a buffer of this size.
constexpr size_t kArgumentSize = 1024;

// 1 for a text of decimal digits only (no sign, blank or point), else 0; 0 for
// a null or empty text.
int IsDecimalNumber(const char* text);

enum class ExecutableName { Usable, WrongExtension, TooLong };

// The executable name given to /install, reduced to the bare file name with
// ".EXE" appended: drive and directories are dropped. The name is left as it
// was when its extension is neither empty nor ".EXE" in any case, or when the
// file name without it has 256 characters or more.
ExecutableName NormaliseExecutableName(char (&exeName)[kArgumentSize]);
