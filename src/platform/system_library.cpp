// Loading a library of the system folder by its full path.

#include "platform/system_library.h"

#include "common/text.h"

HMODULE LoadSystemLibrary(const char* fileName) {
    char directory[MAX_PATH];
    UINT length = GetSystemDirectoryA(directory, sizeof directory);
    if (length == 0) return nullptr;
    char path[MAX_PATH];
    if (length >= sizeof directory || !FormatText(path, "%s\\%s", directory, fileName)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    // The altered search path makes the library's own imports come from its
    // folder as well, instead of from the program's.
    return LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}
