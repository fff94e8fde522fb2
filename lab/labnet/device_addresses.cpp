// The machine's addresses are changed by a Unix script (set-addresses.sh
// beside this file): Wine starts a Unix program handed to CreateProcess as a
// Unix process in the caller's network namespace, but gives no handle to wait
// on, so the script reports through a result file that is waited for here.

#include <windows.h>

#include "lab_store.h"
#include "labnet.h"

namespace lab {
namespace {

constexpr DWORD kScriptTimeoutMs = 15000;  // ip takes milliseconds; a busy machine more
constexpr DWORD kPollMs = 10;

std::string ScriptPath() {
#ifdef PERCHMAN_LABNET_SOURCE_DIR
    return PERCHMAN_LABNET_SOURCE_DIR "\\set-addresses.sh";
#else
    return "set-addresses.sh";
#endif
}

// The Unix path of a Windows path, through Wine's own export (absent on
// Windows, where the lab cannot move the machine anyway).
std::optional<std::string> UnixPath(const std::string& windowsPath) {
    using ToUnix = char*(CDECL*)(const WCHAR*);
    auto toUnix = reinterpret_cast<ToUnix>(
        GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name"));
    if (!toUnix) return std::nullopt;
    WCHAR wide[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, windowsPath.c_str(), -1, wide, MAX_PATH))
        return std::nullopt;
    char* unix = toUnix(wide);
    if (!unix) return std::nullopt;
    std::string path = unix;
    HeapFree(GetProcessHeap(), 0, unix);
    return path;
}

bool Fail(std::string* error, const std::string& why) {
    if (error) *error = why;
    return false;
}

// Waits for the script's result file and returns its first line.
std::optional<std::string> AwaitResult(const std::string& resultPath) {
    for (DWORD waited = 0; waited < kScriptTimeoutMs; waited += kPollMs) {
        std::optional<std::string> text = ReadLocalFile(resultPath);
        if (text && !text->empty() && text->back() == '\n') {
            DeleteFileA(resultPath.c_str());
            text->pop_back();
            return text;
        }
        Sleep(kPollMs);
    }
    return std::nullopt;
}

}  // namespace

bool SetDeviceAddresses(const std::vector<std::string>& addresses, bool checkOnly,
                        std::string* error) {
    char folder[MAX_PATH], resultPath[MAX_PATH];
    if (!GetTempPathA(MAX_PATH, folder) || !GetTempFileNameA(folder, "adr", 0, resultPath))
        return Fail(error, "cannot make a temporary file for the address change");
    DeleteFileA(resultPath);  // the script's rename creates it when it is done
    std::optional<std::string> script = UnixPath(ScriptPath());
    std::optional<std::string> result = UnixPath(resultPath);
    if (!script || !result)
        return Fail(error, "the lab changes the machine's addresses only under Wine");

    std::string commandLine = "sh \"" + *script + "\" \"" + *result + "\" " +
                              (checkOnly ? "check" : "move");
    for (const std::string& address : addresses) commandLine += " " + address;
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &started))
        return Fail(error, "cannot start /bin/sh (error " + std::to_string(GetLastError()) + ")");
    // The handles and ids are left alone: Wine starts a Unix program without
    // filling them in, so they hold whatever its stack held. Closing them
    // closed a random handle of this process, or under a debugger raised an
    // invalid-handle exception (as the 32-bit loader's stack has it).

    std::optional<std::string> said = AwaitResult(resultPath);
    if (!said) return Fail(error, "the address script " + ScriptPath() + " did not answer");
    if (*said != "ok") return Fail(error, said->rfind("error: ", 0) == 0 ? said->substr(7) : *said);
    return true;
}

}  // namespace lab
