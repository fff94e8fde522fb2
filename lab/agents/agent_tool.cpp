// A sibling agent's tool as the lab plays it. It appends one line
// "<tool>|<working directory>|<command line>" to C:\PerchmanLab\agents.log and
// ends with the exit code a test chose in
// HKLM\SOFTWARE\PerchmanLab\Agents\<tool>\ExitCode. Without a chosen code it
// does a small part of the real tool's work, so that a wrong working
// directory or command line shows: the token generator writes its token file
// from the token text, the configuration and registration tools need their
// token file. A missing input ends the tool with kMissingInput. A HangMs
// value there makes it hang that long first, as a tool that never ends. Each
// run also leaves ConsoleWindow there: 1 when the tool was given a console
// window (one an interactive user could see and close), 0 when not.

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

namespace {

constexpr char kLogFolder[] = "C:\\PerchmanLab";
constexpr char kLogPath[] = "C:\\PerchmanLab\\agents.log";
constexpr char kAgentsKey[] = "SOFTWARE\\PerchmanLab\\Agents\\";
constexpr DWORD kMissingInput = 100;

std::string ToolName() {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string name = path;
    size_t slash = name.find_last_of("\\/");
    if (slash != std::string::npos) name.erase(0, slash + 1);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return name;
}

void AppendLog(const std::string& line) {
    CreateDirectoryA(kLogFolder, nullptr);
    // Opened for appending and shared, as several tools may run one after another.
    HANDLE file = CreateFileA(kLogPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
    CloseHandle(file);
}

bool ChosenDword(const std::string& tool, const char* name, DWORD* value) {
    std::string path = kAgentsKey + tool;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = sizeof *value;
    LONG status = RegQueryValueExA(key, name, nullptr, &type,
                                   reinterpret_cast<BYTE*>(value), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && type == REG_DWORD;
}

void RecordConsoleWindow(const std::string& tool) {
    std::string path = kAgentsKey + tool;
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return;
    DWORD window = GetConsoleWindow() != nullptr ? 1 : 0;
    RegSetValueExA(key, "ConsoleWindow", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&window),
                   sizeof window);
    RegCloseKey(key);
}

bool FileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

// The argument after the given option prefix, e.g. "-T:" in "-T:wdrtoken.tok".
std::string OptionValue(int argc, char** argv, const char* prefix) {
    size_t n = std::strlen(prefix);
    for (int i = 1; i < argc; ++i)
        if (std::strncmp(argv[i], prefix, n) == 0) return argv[i] + n;
    return {};
}
std::string ArgumentAfter(int argc, char** argv, const char* option) {
    for (int i = 1; i + 1 < argc; ++i)
        if (std::strcmp(argv[i], option) == 0) return argv[i + 1];
    return {};
}

DWORD DoWork(const std::string& tool, int argc, char** argv) {
    if (tool == "wdtokgen.exe") {
        if (argc < 3 || !FileExists(argv[1])) return kMissingInput;
        return CopyFileA(argv[1], argv[2], FALSE) ? 0 : kMissingInput;
    }
    std::string token = tool == "wdagtcfg.exe" ? OptionValue(argc, argv, "-T:")
                                               : ArgumentAfter(argc, argv, "-Er");
    return !token.empty() && FileExists(token.c_str()) ? 0 : kMissingInput;
}

}  // namespace

int main(int argc, char** argv) {
    std::string tool = ToolName();
    char directory[MAX_PATH] = "";
    GetCurrentDirectoryA(sizeof directory, directory);
    AppendLog(tool + "|" + directory + "|" + GetCommandLineA() + "\n");
    RecordConsoleWindow(tool);
    DWORD hangMs = 0;
    if (ChosenDword(tool, "HangMs", &hangMs)) Sleep(hangMs);
    DWORD code = DoWork(tool, argc, argv);
    DWORD chosen = 0;
    if (ChosenDword(tool, "ExitCode", &chosen)) code = chosen;
    return static_cast<int>(code);
}
