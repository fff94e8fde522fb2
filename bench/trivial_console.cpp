// The references for the service benchmark's memory figures, under the same
// Wine: a console program that does nothing but wait, and with --same-dlls
// one that first loads the system libraries perchman.exe runs with (string
// resources, COM, the registry, Winsock, WinINet), so that the difference
// to the service is the program's own.

#include <windows.h>

#include <cstring>
#include <initializer_list>

int main(int argc, char** argv) {
    if (argc > 1 && std::strcmp(argv[1], "--same-dlls") == 0) {
        for (const char* name : {"user32.dll", "gdi32.dll", "ole32.dll", "advapi32.dll",
                                 "ws2_32.dll", "wininet.dll", "shfolder.dll"})
            LoadLibraryA(name);
        char text[64];
        using LoadStringFn = int(WINAPI*)(HINSTANCE, UINT, LPSTR, int);
        auto loadString = reinterpret_cast<LoadStringFn>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleA("user32.dll"), "LoadStringA")));
        if (loadString) loadString(GetModuleHandleA(nullptr), 1, text, sizeof text);
    }
    Sleep(60000);
    return 0;
}
