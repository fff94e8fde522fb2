// A library planted where a program must not load it from: copied beside a
// program under the name of a library the program loads (ws2_32.dll, ...).
// Whenever a process loads it, it leaves "<its file name>.loaded" in its own
// folder and refuses to load, so that the program carries on as without the
// library and the folder tells what was loaded from it.

#include <windows.h>

#include <cstring>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, void*) {
    if (reason != DLL_PROCESS_ATTACH) return TRUE;
    char marker[MAX_PATH + 16] = "";
    DWORD length = GetModuleFileNameA(instance, marker, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) return FALSE;
    std::strcat(marker, ".loaded");
    HANDLE file = CreateFileA(marker, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
    return FALSE;
}
