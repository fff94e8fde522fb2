// "/install": the optional copy of the executable, then the registration for
// unattended start (a service and its event source on NT, a RunServices value
// on Windows 9x) and the first start.

#include <windows.h>

#include <cstring>

#include "common/text.h"
#include "entry/run_modes.h"
#include "entry/service_registration.h"
#include "platform/system_functions.h"
#include "entry/win9x_startup_values.h"

namespace {

constexpr size_t kModulePathSize = 512;
constexpr char kFallbackFileName[] = "Perchman.exe";
constexpr DWORD kManagerAccess = 0xF003F;  // SC_MANAGER_ALL_ACCESS
constexpr DWORD kServiceAccess = 0xF01FF;  // SERVICE_ALL_ACCESS
constexpr DWORD kServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
constexpr DWORD kTypesSupported =
    EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

// A path that filled the buffer may have been cut: it names another file.
bool ModuleFileName(char (&out)[kModulePathSize]) {
    DWORD length = GetModuleFileNameA(nullptr, out, sizeof out);
    if (length == 0) return false;
    if (length >= sizeof out) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    return true;
}

// The folder, one backslash, then the given executable name or the module's
// own file name. False when the whole path does not fit.
bool CopyDestination(const char* folder, const char* exeName, const char* modulePath,
                     char (&out)[kInstallPathSize]) {
    bool fits = CopyText(out, folder);
    size_t length = std::strlen(out);
    if (length == 0 || out[length - 1] != '\\') fits = fits && AppendText(out, "\\");
    const char* fileName = exeName;
    if (!fileName || !fileName[0]) {
        const char* lastSlash = std::strrchr(modulePath, '\\');
        fileName = lastSlash ? lastSlash + 1 : kFallbackFileName;
    }
    return fits && AppendText(out, fileName);
}

// A failed or too long short form leaves the path as it is: the long path
// starts the same program.
void ShortPathOf(const char* path, char (&out)[kInstallPathSize]) {
    DWORD length = ShortPathFunction(path, out, sizeof out);
    if (length == 0 || length >= sizeof out) CopyText(out, path);
}

// A drive letter and its colon alone, as in "C:".
bool IsBareDrive(const char* folder) {
    char letter = folder[0];
    bool isLetter = (letter >= 'A' && letter <= 'Z') || (letter >= 'a' && letter <= 'z');
    return isLetter && folder[1] == ':' && folder[2] == '\0';
}

// The folder as given may be relative to the installer's directory, which
// neither the service control manager nor a boot start shares. A bare drive
// is the exception: the destination is the folder and a backslash, so "C:"
// names the drive's root, not its current folder as GetFullPathNameA reads it.
bool AbsoluteFolder(const char* folder, char (&out)[kInstallPathSize]) {
    char given[kInstallPathSize];
    if (!CopyText(given, folder) || (IsBareDrive(given) && !AppendText(given, "\\"))) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    DWORD length = GetFullPathNameA(given, sizeof out, out, nullptr);
    if (length == 0) return false;
    if (length >= sizeof out) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return true;
}

void InstallWin9x(const char* serviceName, const char* binaryPath) {
    // An earlier registration and a running instance go first.
    RemoveService(serviceName);
    if (!SetRunServicesValue(serviceName, binaryPath)) {
        PrintStepFailed("Win9XCreateService");
        return;
    }
    PrintInstallMessage(kMsgInstalled, serviceName);
    // An old instance that has not ended yet still holds the mutex: a new one
    // would end at once, so none is started (the next boot starts it).
    bool started = !BackgroundInstanceMutexExists() && StartFromRunServices(serviceName);
    PrintInstallMessage(started ? kMsgStarted : kMsgCannotStart, serviceName);
}

// Done also when the service itself could not be created, so that a second
// "/install" repairs the event source.
void WriteEventSourceValues(const char* serviceName, const char* binaryPath) {
    char keyPath[kEventSourceKeySize];
    EventSourceKeyPath(serviceName, keyPath);
    RegKey key;
    if (RegCreateKeyA(HKEY_LOCAL_MACHINE, keyPath, key.put()) != ERROR_SUCCESS) return;
    RegSetValueExA(key.get(), "EventMessageFile", 0, REG_EXPAND_SZ,
                   reinterpret_cast<const BYTE*>(binaryPath),
                   static_cast<DWORD>(std::strlen(binaryPath) + 1));
    DWORD types = kTypesSupported;
    RegSetValueExA(key.get(), "TypesSupported", 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&types), sizeof types);
}

void InstallNt(const char* serviceName, const char* binaryPath) {
    FrameServiceHandle manager(FrameFunctions.OpenSCManagerA(nullptr, nullptr, kManagerAccess));
    if (!manager) {
        PrintStepFailed("OpenSCManager");
        return;
    }
    char commandLine[kInstallPathSize + 2];
    ServiceCommandLine(binaryPath, commandLine);
    FrameServiceHandle service(FrameFunctions.CreateServiceA(
        manager.get(), serviceName, serviceName, kServiceAccess, kServiceType,
        SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, commandLine,
        nullptr,   // no load-order group
        nullptr,   // no tag
        "\0",      // no dependencies
        nullptr,   // LocalSystem
        nullptr));
    if (service) {
        PrintInstallMessage(kMsgInstalled, serviceName);
        bool started = FrameFunctions.StartServiceA(service.get(), 0, nullptr);
        PrintInstallMessage(started ? kMsgStarted : kMsgCannotStart, serviceName);
        service.reset();
    } else {
        PrintStepFailed("CreateService");
    }
    WriteEventSourceValues(serviceName, binaryPath);
}

}  // namespace

decltype(&::GetShortPathNameA) ShortPathFunction = ::GetShortPathNameA;

void ServiceCommandLine(const char* binaryPath, char (&out)[kInstallPathSize + 2]) {
    // The manager reads an unquoted path with a blank as a program and its
    // arguments, and first tries the part before the blank: "C:\Program.exe".
    if (std::strchr(binaryPath, ' '))
        FormatText(out, "\"%s\"", binaryPath);
    else
        CopyText(out, binaryPath);
}

void InstallService(const char* path, const char* serviceName, const char* exeName) {
    char modulePath[kModulePathSize];
    if (!ModuleFileName(modulePath)) {
        PrintCannotInstall();
        return;
    }
    const char* name = ServiceNameOrDefault(serviceName);

    char copyPath[kInstallPathSize];
    const char* installedPath = modulePath;
    if (path && path[0]) {
        char folder[kInstallPathSize];
        if (!AbsoluteFolder(path, folder)) {
            PrintCannotInstall();
            return;
        }
        if (!CopyDestination(folder, exeName, modulePath, copyPath)) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            PrintCannotInstall();
            return;
        }
        if (!CopyFileA(modulePath, copyPath, FALSE)) {
            PrintCannotInstall();
            return;
        }
        installedPath = copyPath;
    }

    char binaryPath[kInstallPathSize];
    ShortPathOf(installedPath, binaryPath);
    if (FrameFunctions.IsWin9x)
        InstallWin9x(name, binaryPath);
    else
        InstallNt(name, binaryPath);
}
