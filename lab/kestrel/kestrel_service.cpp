// The lab's stand-in for the managed product's service. While it runs it
// watches "ProcessHPDNow"; when the flag is raised it takes in the client
// configuration file the way the product does: applies its [KEYS] values to
// the product root, replaces "HPDUpdateTime" and lowers the flag.

#include <windows.h>
#include <shlobj.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "kestrel/kestrel_layout.h"
#include "product/product_interface.h"

namespace {

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopEvent = nullptr;
SERVICE_STATUS status = {};

// What an administrator's debug-output viewer shows of the product. A viewer
// that stopped reading would hold the writer 10 s a line, or for ever while it
// holds the channel's mutex: each line goes out on a thread of its own, so
// that the stand-in keeps taking files in (the tests play such viewers).
void ViewerLine(const std::string& text) {
    char* line = _strdup(text.c_str());
    if (!line) return;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void* p) WINAPI -> DWORD {
            OutputDebugStringA(static_cast<char*>(p));
            std::free(p);
            return 0;
        },
        line, 0, nullptr);
    if (thread)
        CloseHandle(thread);
    else
        std::free(line);
}

DWORD ReadDword(const char* path, const char* name, DWORD fallback) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) return fallback;
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD ? value : fallback;
}

std::string ReadString(const char* path, const char* name) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) return std::string();
    char text[1024] = {};
    DWORD size = sizeof text - 1;
    LONG status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(text) : std::string();
}

void WriteValue(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr))
        return;
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

void WriteDword(const char* path, const char* name, DWORD value) {
    WriteValue(path, name, REG_DWORD, &value, sizeof value);
}

void Count(const char* name) {
    WriteDword(kestrel::kLabProductKey, name, ReadDword(kestrel::kLabProductKey, name, 0) + 1);
}

// Where the product reads its client configuration file on the NT family.
std::string HpdPath() {
    DWORD clientType = ReadDword(kestrel::kProductRoot, "ClientType", 0);
    if (clientType == 1 || clientType == 2) {
        char folder[MAX_PATH] = {};
        if (SUCCEEDED(SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, folder)))
            return std::string(folder) + "\\Brevanta\\Kestrel Corporate Edition\\7.5\\HPD.DAT";
    }
    return ReadString(kestrel::kProductRoot, "Home Directory") + "\\HPD.DAT";
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

void ApplyLine(HKEY key, const std::string& line) {
    size_t equals = line.find('=');
    if (equals == std::string::npos || equals == 0 || equals + 1 >= line.size()) return;
    std::string name = line.substr(0, equals);
    char kind = line[equals + 1];
    std::string text = line.substr(equals + 2);
    if (kind == 'S') {
        RegSetValueExA(key, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>(text.size() + 1));
    } else if (kind == 'D') {
        DWORD value = static_cast<DWORD>(std::strtoul(text.c_str(), nullptr, 10));
        RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
    } else if (kind == 'B') {
        std::vector<BYTE> bytes;
        for (size_t i = 0; i + 1 < text.size(); i += 2) {
            int high = HexDigit(text[i]);
            int low = HexDigit(text[i + 1]);
            if (high < 0 || low < 0) return;
            bytes.push_back(static_cast<BYTE>(high * 16 + low));
        }
        RegSetValueExA(key, name.c_str(), 0, REG_BINARY, bytes.data(),
                       static_cast<DWORD>(bytes.size()));
    }
}

void ApplyHpdFile(const std::string& path) {
    FILE* file = std::fopen(path.c_str(), "rb");
    if (!file) return;
    std::string content;
    char chunk[4096];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
    std::fclose(file);

    HKEY key = nullptr;
    size_t at = 0;
    while (at < content.size()) {
        size_t end = content.find('\n', at);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(at, end - at);
        at = end + 1;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty() || line[0] == '[') continue;
        if (line.rfind("!KEY!=", 0) == 0) {
            if (key) RegCloseKey(key);
            key = nullptr;
            std::string target = line.substr(6);
            std::string path = kestrel::kProductRoot;
            if (target.rfind("$REGROOT$", 0) == 0) path += target.substr(9);
            RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                            nullptr, &key, nullptr);
            continue;
        }
        if (key) ApplyLine(key, line);
    }
    if (key) RegCloseKey(key);
}

// The product registers with the parent its file names: a record key on the
// parent, named by the computer and the client's GUID, through the product
// library the program itself is given (its COM registration).
void RegisterWithParent() {
    std::string parent = ReadString(kestrel::kProductRoot, "Parent");
    BYTE guid[16] = {};
    HKEY root = nullptr;
    DWORD size = sizeof guid;
    bool haveGuid = false;
    if (!RegOpenKeyExA(HKEY_LOCAL_MACHINE, kestrel::kProductRoot, 0, KEY_READ, &root)) {
        haveGuid = !RegQueryValueExA(root, "GUID", nullptr, nullptr, guid, &size) &&
                   size == sizeof guid;
        RegCloseKey(root);
    }
    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD computerSize = sizeof computer;
    if (parent.empty() || !haveGuid || !GetComputerNameA(computer, &computerSize)) return;

    char library[MAX_PATH] = "";
    HKEY clsid = nullptr;
    if (RegOpenKeyExA(HKEY_CLASSES_ROOT, product::kLibraryClsidKey, 0, KEY_READ, &clsid)) return;
    DWORD librarySize = sizeof library - 1;
    LONG found = RegQueryValueExA(clsid, nullptr, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(library), &librarySize);
    RegCloseKey(clsid);
    HMODULE module = found ? nullptr : LoadLibraryA(library);
    if (!module) return;
    auto add = reinterpret_cast<product::AddValueToBlockFn>(reinterpret_cast<void*>(
        GetProcAddress(module, MAKEINTRESOURCEA(product::kOrdAddValueToBlock))));
    auto write = reinterpret_cast<product::WriteServerValuesFn>(reinterpret_cast<void*>(
        GetProcAddress(module, MAKEINTRESOURCEA(product::kOrdWriteServerValues))));
    char key[128];
    std::snprintf(key, sizeof key,
                  "Clients\\%s_::_%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x",
                  computer, guid[3], guid[2], guid[1], guid[0], guid[7], guid[6], guid[5],
                  guid[4], guid[11], guid[10], guid[9], guid[8], guid[15], guid[14], guid[13],
                  guid[12]);
    uint8_t block[product::kSingleBlockSize] = {};
    DWORD good = 1;
    uint32_t used = 0;
    if (add && write && !add(block, "good", REG_DWORD, sizeof good, &good, &used)) {
        write(parent.c_str(), key, 1, block, used);
        ViewerLine("Kestrel Server: registered with " + parent + "\n");
    }
    FreeLibrary(module);
}

// Anything but the sentinel the file carries: the time it was taken in.
void ConfirmUpdate() {
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    WriteValue(kestrel::kProductRoot, "HPDUpdateTime", REG_BINARY, &now, sizeof now);
}

// false when asked to stop meanwhile. The configured delay is the whole time
// the product takes, its own work included: it confirms no earlier than the
// delay after it saw the flag.
bool TakeInRequest() {
    DWORD seen = GetTickCount();
    DWORD delay = ReadDword(kestrel::kLabProductKey, kestrel::kProcessingDelayValue, 0);
    std::string path = HpdPath();
    ApplyHpdFile(path);
    if (ReadDword(kestrel::kLabProductKey, kestrel::kRegistersValue, 0) == 1) RegisterWithParent();
    DWORD spent = GetTickCount() - seen;
    if (delay > spent && WaitForSingleObject(stopEvent, delay - spent) == WAIT_OBJECT_0)
        return false;
    if (ReadDword(kestrel::kLabProductKey, kestrel::kNeverConfirmValue, 0) != 1) ConfirmUpdate();
    WriteDword(kestrel::kProductControl, "ProcessHPDNow", 0);
    // Bookkeeping for the tests, after the product's visible work.
    WriteValue(kestrel::kLabProductKey, kestrel::kLastHpdPathValue, REG_SZ, path.c_str(),
               static_cast<DWORD>(path.size() + 1));
    Count(kestrel::kProcessedValue);
    ViewerLine("Kestrel Server: took in " + path + "\n");
    return true;
}

void Run() {
    DWORD pollMs = ReadDword(kestrel::kLabProductKey, kestrel::kPollValue, kestrel::kPollMs);
    if (pollMs == 0 || pollMs > 10000) pollMs = kestrel::kPollMs;
    while (WaitForSingleObject(stopEvent, pollMs) == WAIT_TIMEOUT) {
        if (ReadDword(kestrel::kProductControl, "ProcessHPDNow", 0) == 1 && !TakeInRequest())
            break;
    }
}

void Report(DWORD state, DWORD checkPoint = 0) {
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWin32ExitCode = NO_ERROR;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = state == SERVICE_STOP_PENDING || state == SERVICE_START_PENDING ? 1000 : 0;
    SetServiceStatus(statusHandle, &status);
}

// A product that needs a while to come up: start-pending for the configured
// time, advancing its check point as a real service does.
void StartSlowly() {
    DWORD delay = ReadDword(kestrel::kLabProductKey, kestrel::kStartDelayValue, 0);
    DWORD start = GetTickCount();
    for (DWORD checkPoint = 1; GetTickCount() - start < delay; ++checkPoint) {
        Report(SERVICE_START_PENDING, checkPoint);
        DWORD left = delay - (GetTickCount() - start);
        Sleep(left < 100 ? left : 100);
    }
}

DWORD WINAPI Control(DWORD control, DWORD, void*, void*) {
    if (control == SERVICE_CONTROL_STOP || control == SERVICE_CONTROL_SHUTDOWN) {
        Report(SERVICE_STOP_PENDING);
        SetEvent(stopEvent);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, char**) {
    statusHandle = RegisterServiceCtrlHandlerExA(kestrel::kServiceName, Control, nullptr);
    if (!statusHandle) return;
    stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Count(kestrel::kServiceStartsValue);
    StartSlowly();
    Report(SERVICE_RUNNING);
    ViewerLine("Kestrel Server: running\n");
    Run();
    Report(SERVICE_STOPPED);
}

}  // namespace

int main(int argc, char** argv) {
    // "console": the same body without the service control manager, for a
    // look at what it does.
    if (argc > 1 && std::strcmp(argv[1], "console") == 0) {
        stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        Run();
        return 0;
    }
    char name[sizeof kestrel::kServiceName];
    std::memcpy(name, kestrel::kServiceName, sizeof name);
    SERVICE_TABLE_ENTRYA table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherA(table) ? 0 : 1;
}
