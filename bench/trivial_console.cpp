// The references for the service benchmark's memory figures, under the same
// Wine: a console program that does nothing but wait; with --same-dlls one
// that first loads the system libraries perchman.exe runs with (string
// resources, COM, the registry, Winsock, WinINet); and with --same-calls one
// that also makes the system calls that set those libraries up as the
// service does (Winsock started and the host looked up, the connection state
// asked, the product library loaded), so that the difference to the service
// is the program's own.

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

#include <cstring>
#include <initializer_list>

namespace {

template <typename Function>
Function Bound(const char* module, const char* name) {
    return reinterpret_cast<Function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA(module), name)));
}

void LoadTheSameLibraries() {
    for (const char* name : {"user32.dll", "gdi32.dll", "ole32.dll", "advapi32.dll",
                             "ws2_32.dll", "wininet.dll", "shfolder.dll"})
        LoadLibraryA(name);
    char text[64];
    if (auto loadString = Bound<int(WINAPI*)(HINSTANCE, UINT, LPSTR, int)>("user32.dll", "LoadStringA"))
        loadString(GetModuleHandleA(nullptr), 1, text, sizeof text);
}

void MakeTheSameCalls(const char* productLibrary) {
    WSADATA data;
    char host[256] = "";
    if (auto startup = Bound<int(WINAPI*)(WORD, LPWSADATA)>("ws2_32.dll", "WSAStartup"))
        startup(MAKEWORD(2, 2), &data);
    auto hostName = Bound<int(WINAPI*)(char*, int)>("ws2_32.dll", "gethostname");
    auto lookUp = Bound<hostent*(WINAPI*)(const char*)>("ws2_32.dll", "gethostbyname");
    if (hostName && lookUp && hostName(host, sizeof host) == 0) lookUp(host);
    DWORD flags = 0;
    char connection[256];
    if (auto state = Bound<BOOL(WINAPI*)(LPDWORD, DWORD)>("wininet.dll", "InternetGetConnectedState"))
        state(&flags, 0);
    if (auto stateEx = Bound<BOOL(WINAPI*)(LPDWORD, LPSTR, DWORD, DWORD)>(
            "wininet.dll", "InternetGetConnectedStateEx"))
        stateEx(&flags, connection, sizeof connection, 0);
    if (productLibrary) LoadLibraryA(productLibrary);
}

}  // namespace

int main(int argc, char** argv) {
    bool sameCalls = argc > 1 && std::strcmp(argv[1], "--same-calls") == 0;
    if (sameCalls || (argc > 1 && std::strcmp(argv[1], "--same-dlls") == 0)) LoadTheSameLibraries();
    if (sameCalls) MakeTheSameCalls(argc > 2 ? argv[2] : nullptr);
    Sleep(60000);
    return 0;
}
