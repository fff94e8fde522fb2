// The product stand-in's set-up through the service control manager and the
// registry of the prefix.

#include "kestrel/kestrel_lab.h"

#include <shlwapi.h>

#include "kestrel/kestrel_layout.h"

namespace kestrel {

namespace {

struct ScHandle {
    SC_HANDLE handle = nullptr;
    explicit ScHandle(SC_HANDLE h) : handle(h) {}
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    ~ScHandle() {
        if (handle) CloseServiceHandle(handle);
    }
    explicit operator bool() const { return handle != nullptr; }
};

DWORD QueryState(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    if (!QueryServiceStatus(service, &status)) return 0;
    return status.dwCurrentState;
}

bool WaitForState(SC_HANDLE service, DWORD wanted, DWORD waitMs) {
    DWORD start = GetTickCount();
    for (;;) {
        if (QueryState(service) == wanted) return true;
        if (GetTickCount() - start >= waitMs) return false;
        Sleep(5);
    }
}

DWORD OpenService(ScHandle& manager, ScHandle& service, DWORD access) {
    manager.handle = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) return GetLastError();
    service.handle = OpenServiceA(manager.handle, kServiceName, access);
    if (!service) return GetLastError();
    return 0;
}

}  // namespace

std::string LabDirectory() {
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, sizeof path);
    std::string directory(path, length);
    size_t slash = directory.find_last_of('\\');
    directory = slash == std::string::npos ? std::string(".") : directory.substr(0, slash);
    // Test programs live beside the lab folder of the build, not in it.
    std::string lab = directory + "\\lab";
    DWORD attributes = GetFileAttributesA((lab + "\\" + kServiceExe).c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return lab;
    size_t parent = directory.find_last_of('\\');
    if (parent != std::string::npos) {
        lab = directory.substr(0, parent) + "\\lab";
        attributes = GetFileAttributesA((lab + "\\" + kServiceExe).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES) return lab;
    }
    return directory;
}

DWORD InstallService(const std::string& labDirectory) {
    std::string binary = "\"" + labDirectory + "\\" + kServiceExe + "\"";
    ScHandle manager(OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager) return GetLastError();
    ScHandle service(nullptr);
    DWORD error = 0;
    // A service deleted a moment ago stays marked for deletion until its
    // process has gone and the last handle is closed; on a busy machine the
    // next install comes sooner than that, so it waits for the entry to go.
    for (int attempt = 0; attempt < 100; ++attempt) {
        service.handle = CreateServiceA(manager.handle, kServiceName, kServiceName,
                                        SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                        SERVICE_DEMAND_START, SERVICE_ERROR_IGNORE,
                                        binary.c_str(), nullptr, nullptr, nullptr, nullptr,
                                        nullptr);
        if (service) return 0;
        error = GetLastError();
        if (error != ERROR_SERVICE_MARKED_FOR_DELETE) break;
        Sleep(100);
    }
    if (error != ERROR_SERVICE_EXISTS) return error;
    service.handle = OpenServiceA(manager.handle, kServiceName, SERVICE_ALL_ACCESS);
    if (!service) return GetLastError();
    if (!ChangeServiceConfigA(service.handle, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
                              SERVICE_ERROR_IGNORE, binary.c_str(), nullptr, nullptr, nullptr,
                              nullptr, nullptr, kServiceName))
        return GetLastError();
    return 0;
}

DWORD UninstallService() {
    ScHandle manager(nullptr);
    ScHandle service(nullptr);
    DWORD error = OpenService(manager, service, SERVICE_ALL_ACCESS | DELETE);
    if (error == ERROR_SERVICE_DOES_NOT_EXIST) return 0;
    if (error) return error;
    StopService();
    if (!DeleteService(service.handle)) {
        error = GetLastError();
        return error == ERROR_SERVICE_MARKED_FOR_DELETE ? 0 : error;
    }
    return 0;
}

DWORD StartService(DWORD waitMs) {
    ScHandle manager(nullptr);
    ScHandle service(nullptr);
    if (DWORD error = OpenService(manager, service, SERVICE_ALL_ACCESS)) return error;
    if (!StartServiceA(service.handle, 0, nullptr)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_ALREADY_RUNNING) return error;
    }
    return WaitForState(service.handle, SERVICE_RUNNING, waitMs) ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

DWORD StopService(DWORD waitMs) {
    ScHandle manager(nullptr);
    ScHandle service(nullptr);
    if (DWORD error = OpenService(manager, service, SERVICE_ALL_ACCESS)) return error;
    SERVICE_STATUS status = {};
    if (!ControlService(service.handle, SERVICE_CONTROL_STOP, &status)) {
        DWORD error = GetLastError();
        if (error != ERROR_SERVICE_NOT_ACTIVE) return error;
    }
    return WaitForState(service.handle, SERVICE_STOPPED, waitMs) ? 0 : ERROR_SERVICE_REQUEST_TIMEOUT;
}

namespace {
void WriteOrientation(DWORD orientation) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kProductRoot, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr))
        return;
    RegSetValueExA(key, "Orientation", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&orientation),
                   sizeof orientation);
    RegCloseKey(key);
}
}  // namespace

DWORD StopProduct() {
    DWORD status = StopService();
    WriteOrientation(kOrientationStopped);
    return status;
}

DWORD StartProduct() {
    DWORD status = StartService();
    WriteOrientation(kOrientationRunning);
    return status;
}

DWORD ServiceState() {
    ScHandle manager(nullptr);
    ScHandle service(nullptr);
    if (OpenService(manager, service, SERVICE_QUERY_STATUS)) return 0;
    return QueryState(service.handle);
}

DWORD RegisterControlObject(const std::string& labDirectory) {
    std::string server = std::string(kControlObjectKey) + "\\InProcServer32";
    HKEY key = nullptr;
    if (LONG status = RegCreateKeyExA(HKEY_CLASSES_ROOT, server.c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, &key, nullptr))
        return static_cast<DWORD>(status);
    std::string dll = labDirectory + "\\" + kControlObjectDll;
    LONG status = RegSetValueExA(key, nullptr, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(dll.c_str()),
                                 static_cast<DWORD>(dll.size() + 1));
    static const char kModel[] = "Both";
    if (!status)
        status = RegSetValueExA(key, "ThreadingModel", 0, REG_SZ,
                                reinterpret_cast<const BYTE*>(kModel), sizeof kModel);
    RegCloseKey(key);
    return static_cast<DWORD>(status);
}

DWORD UnregisterControlObject() {
    LONG status = SHDeleteKeyA(HKEY_CLASSES_ROOT, kControlObjectKey);
    return status == ERROR_FILE_NOT_FOUND ? 0 : static_cast<DWORD>(status);
}

void ResetBehaviour() { SHDeleteKeyA(HKEY_LOCAL_MACHINE, kLabProductKey); }

void RemoveProduct() {
    StopService();
    UninstallService();
    UnregisterControlObject();
    ResetBehaviour();
}

void SetBehaviour(const char* valueName, DWORD value) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLabProductKey, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &key, nullptr))
        return;
    RegSetValueExA(key, valueName, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
    RegCloseKey(key);
}

DWORD ReadBehaviour(const char* valueName, DWORD fallback) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabProductKey, 0, KEY_READ, &key)) return fallback;
    DWORD value = 0;
    DWORD size = sizeof value;
    LONG status = RegQueryValueExA(key, valueName, nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? value : fallback;
}

}  // namespace kestrel
