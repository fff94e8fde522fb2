#pragma once
// The optional network libraries: Winsock for the machine's addresses,
// WinINet for the connection state. Start-up loads them into these tables
// (LoadWinsock, LoadWinInet); an entry point that is missing stays null.

#include <winsock2.h>
#include <windows.h>
#include <wininet.h>

struct WinsockFunctions {
    HMODULE Module = nullptr;
    int(WINAPI* WSAStartup)(WORD version, LPWSADATA data) = nullptr;
    int(WINAPI* WSACleanup)() = nullptr;
    int(WINAPI* gethostname)(char* name, int length) = nullptr;
    hostent*(WINAPI* gethostbyname)(const char* name) = nullptr;
    WSADATA Data = {};
};
struct WinInetFunctions {
    HMODULE Module = nullptr;
    HMODULE IpHelper = nullptr;  // kept loaded with WinINet
    BOOL(WINAPI* InternetGetConnectedState)(LPDWORD flags, DWORD reserved) = nullptr;
    BOOL(WINAPI* InternetGetConnectedStateEx)(LPDWORD flags, LPSTR name, DWORD size,
                                              DWORD reserved) = nullptr;
};

extern WinsockFunctions Winsock;
extern WinInetFunctions WinInet;
extern volatile LONG WinsockReady;
