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

// The executable name given to /install, reduced to the bare file name with
// ".EXE" appended: drive and directories are dropped, each component is cut to
// 255 characters. false, leaving the name as it was, when its extension is
// neither empty nor ".EXE" in any case.
bool NormaliseExecutableName(char (&exeName)[kArgumentSize]);
