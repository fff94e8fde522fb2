// The engine's start-up and shut-down, and the optional network libraries.

#include "entry/startup.h"

#include "common/bind.h"
#include "common/text.h"
#include "engine/engine_settings.h"
#include "engine/nearest.h"
#include "output/output.h"
#include "platform/system_functions.h"
#include "platform/system_library.h"
#include "product/product_interface.h"
#include "takeover/takeovers.h"

DWORD LoadWinsock() {
    Winsock.Module = LoadSystemLibrary("ws2_32.dll");
    if (!Winsock.Module) return product::kLibraryUnavailable;
    bool complete = true;
    complete &= BindProcedure(Winsock.WSAStartup, Winsock.Module, "WSAStartup");
    complete &= BindProcedure(Winsock.WSACleanup, Winsock.Module, "WSACleanup");
    complete &= BindProcedure(Winsock.gethostname, Winsock.Module, "gethostname");
    complete &= BindProcedure(Winsock.gethostbyname, Winsock.Module, "gethostbyname");
    if (!complete) return product::kLibraryUnavailable;
    return static_cast<DWORD>(Winsock.WSAStartup(MAKEWORD(2, 2), &Winsock.Data));
}

DWORD UnloadWinsock() {
    if (!Winsock.Module) return 0;
    if (Winsock.WSACleanup) Winsock.WSACleanup();
    DWORD status = FreeLibrary(Winsock.Module) ? 0 : GetLastError();
    Winsock = WinsockFunctions{};
    WinsockReady = 0;
    return status;
}

DWORD LoadWinInet() {
    WinInet.Module = LoadSystemLibrary("wininet.dll");
    if (!WinInet.Module) return product::kLibraryUnavailable;
    // The connection check may load the IP helper library on first use, by
    // its bare name, from the program's folder first. Loaded here from the
    // system folder, it is found loaded instead. Optional: not every system
    // has it, and the check does without.
    WinInet.IpHelper = LoadSystemLibrary("iphlpapi.dll");
    // An entry point that is found stays bound even when the other is missing.
    bool plain = BindProcedure(WinInet.InternetGetConnectedState, WinInet.Module,
                      "InternetGetConnectedState");
    bool extended = BindProcedure(WinInet.InternetGetConnectedStateEx, WinInet.Module,
                         "InternetGetConnectedStateEx");
    return plain && extended ? 0 : product::kLibraryUnavailable;
}

int InitEngine(int unattended, int keepConsole, int* status) {
    *status = 0;
    if (!LoadSystemFunctions(EngineFunctions)) {
        *status = -1;
        return 0;
    }
    // The Windows 9x background process has no console window.
    if (unattended && EngineFunctions.IsWin9x && !keepConsole) FreeConsole();
    if (LoadWinsock() == 0) WinsockReady = 1;
    LoadWinInet();
    LoadEngineSettings();
    SetRoleTakeovers(kRoleTakeovers);
    return 1;
}

int DeInitEngine(int* status) {
    *status = 0;
    FreeSystemFunctions(EngineFunctions);
    UnloadWinsock();
    char line[kTextSize];
    FormatText(line, sizeof line, "main all done\n");
    TraceMessage(line, nullptr, false);
    return 1;
}
