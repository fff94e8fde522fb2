// The references for the service benchmark's memory figures, under the same
// Wine: a console program that does nothing but wait; with --same-dlls one
// that first loads the system libraries perchman.exe runs with (string
// resources, COM, the registry, Winsock, WinINet); and with --same-calls one
// that also makes the system calls that set those libraries up as the
// service does (Winsock started and the host looked up, the connection state
// asked, the product library loaded); and with --same-threads one that also
// runs as many threads as the service process has (main's, and the two that
// the service dispatcher adds), because under this Wine every thread keeps
// about 1 MB of its stack area resident. The difference to the last one is
// the program's own.

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

// The service dispatcher's control thread and the thread it runs the
// service on.
constexpr int kServiceExtraThreads = 2;

DWORD WINAPI IdleThread(void*) {
    Sleep(INFINITE);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bool sameThreads = argc > 1 && std::strcmp(argv[1], "--same-threads") == 0;
    bool sameCalls = sameThreads || (argc > 1 && std::strcmp(argv[1], "--same-calls") == 0);
    if (sameCalls || (argc > 1 && std::strcmp(argv[1], "--same-dlls") == 0)) LoadTheSameLibraries();
    if (sameCalls) MakeTheSameCalls(argc > 2 ? argv[2] : nullptr);
    for (int i = 0; sameThreads && i < kServiceExtraThreads; ++i) {
        HANDLE thread = CreateThread(nullptr, 0, IdleThread, nullptr, 0, nullptr);
        if (thread) CloseHandle(thread);
    }
    Sleep(60000);
    return 0;
}
