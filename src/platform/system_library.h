#pragma once
// Libraries loaded at run time. Loaded by a bare name, a library is looked
// for first in the program's own folder, which need not be the system's to
// write: the program runs as LocalSystem, and whatever it loaded there would
// run with its rights. So every library is taken from the system folder by
// its full path, and the libraries it needs in turn are looked for there too.

#include <windows.h>

// fileName: a library of the system folder ("ws2_32.dll"). Null, with the
// last error, when it cannot be loaded or its path does not fit.
HMODULE LoadSystemLibrary(const char* fileName);
