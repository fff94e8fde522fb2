// The startup values of Windows 9x, and the start of the registered program
// as the system would start it.

#include "entry/win9x_startup_values.h"

#include <windows.h>

#include <cstring>

#include "common/handles.h"

namespace {

constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
// Query and set values, create subkeys, read the key's security.
constexpr REGSAM kStartupKeyAccess = 0x20007;
constexpr size_t kStartPathSize = 260;

// Reg* return their status without setting the last error; the messages
// that follow a failure describe the last error, so it is set from the status.
bool Succeeded(LONG status) {
    if (status == ERROR_SUCCESS) return true;
    SetLastError(static_cast<DWORD>(status));
    return false;
}

bool OpenStartupKey(const char* path, RegKey& key) {
    return Succeeded(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, kStartupKeyAccess, key.put()));
}

bool DeleteStartupValue(const char* path, const char* name) {
    RegKey key;
    return OpenStartupKey(path, key) && Succeeded(RegDeleteValueA(key.get(), name));
}

}  // namespace

int SetRunServicesValue(const char* name, const char* path) {
    RegKey key;
    if (!OpenStartupKey(kRunServicesKey, key)) return 0;
    DWORD size = static_cast<DWORD>(std::strlen(path) + 1);
    return Succeeded(RegSetValueExA(key.get(), name, 0, REG_SZ,
                                    reinterpret_cast<const BYTE*>(path), size));
}

int GetRunServicesValue(const char* name, char* buffer, size_t size) {
    if (size == 0) return 0;
    buffer[0] = '\0';
    RegKey key;
    if (!OpenStartupKey(kRunServicesKey, key)) return 0;
    // The stored text need not end in a NUL: one byte is kept for it.
    DWORD type = 0;
    DWORD got = static_cast<DWORD>(size - 1);
    if (!Succeeded(RegQueryValueExA(key.get(), name, nullptr, &type,
                                    reinterpret_cast<BYTE*>(buffer), &got))) {
        buffer[0] = '\0';
        return 0;
    }
    if (type != REG_SZ && type != REG_EXPAND_SZ) {
        buffer[0] = '\0';
        SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    buffer[got] = '\0';
    return 1;
}

int DeleteStartupValues(const char* name) {
    bool fromRun = DeleteStartupValue(kRunKey, name);
    bool fromRunServices = DeleteStartupValue(kRunServicesKey, name);
    return fromRun || fromRunServices ? 1 : 0;
}

int StartFromRunServices(const char* name) {
    char path[kStartPathSize];
    if (!GetRunServicesValue(name, path, sizeof path)) return 0;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    BOOL created = CreateProcessA(path, nullptr, nullptr, nullptr, FALSE, CREATE_NEW_CONSOLE,
                                  nullptr, nullptr, &startup, &started);
    if (!created) return 0;
    ProcessOwner owner(started);  // nothing waits for the instance
    return created;
}
