// The KPZ agent role: the agent registers with the chosen server's manager
// by running its registration tool with the relay token the server publishes.

#include "common/text.h"
#include "engine/engine_settings.h"
#include "output/output.h"
#include "takeover/agent_files.h"
#include "takeover/process_runner.h"
#include "takeover/takeovers.h"

namespace {

constexpr char kBaseDirectory[] = "c:\\Program Files\\Dovar\\KPZ\\";
constexpr char kWindows2000Directory[] = "bin\\w2k-ix86\\";
constexpr char kWindowsNTDirectory[] = "bin\\nt-ix86\\";
constexpr char kRelayToken[] = "relay1.tkn";
constexpr char kRegistrationTool[] = "enrol.exe";
constexpr char kServerPathValue[] = "ParentKPZPath";
constexpr char kDefaultServerPath[] = "KPZ";
constexpr char kRoamValue[] = "RoamKPZ";

constexpr unsigned kMsgTokenCopyFailed = 128;
constexpr unsigned kMsgToolCopyFailed = 129;
constexpr unsigned kMsgServerPathFailed = 134;
constexpr unsigned kMsgToolNotStarted = 137;
// The string table has no KPZ text for a switch that could not be removed;
// the KPZ registry message is the nearest, and the line carries the code.
constexpr unsigned kMsgRoamValueNotDeleted = kMsgServerPathFailed;

constexpr AgentFile kFiles[] = {{kRelayToken, kMsgTokenCopyFailed},
                                {kRegistrationTool, kMsgToolCopyFailed}};
constexpr size_t kToolFile = 1;

bool IsWindowsNT() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

bool IsWindows2000OrLater() {
    OSVERSIONINFOA info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) && info.dwMajorVersion >= 5;
}

}  // namespace

int TakeOverKPZ(const char* server) {
    // The agent has no registration tool for Windows 9x: its files are still
    // fetched into the base directory, but nothing is run.
    bool canRegister = true;
    char directory[MAX_PATH];
    CopyText(directory, kBaseDirectory);
    if (IsWindows2000OrLater())
        AppendText(directory, kWindows2000Directory);
    else if (IsWindowsNT())
        AppendText(directory, kWindowsNTDirectory);
    else
        canRegister = false;

    char serverPath[kServerPathSize];
    LONG status = ReadAgentServerPath(kServerPathValue, kDefaultServerPath, serverPath);
    if (serverPath[0] == '\0') {
        ReportServerPathError(kMsgServerPathFailed, static_cast<DWORD>(status));
        return 0;
    }
    AgentFileSet files;
    if (!BuildAgentFileSet(files, kFiles, sizeof kFiles / sizeof kFiles[0], serverPath,
                           directory)) {
        ReportServerPathError(kMsgServerPathFailed, ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (!FetchAgentFiles(server, files) || !canRegister) return 0;

    char command[kTextSize];
    FormatText(command, "%s -Er %s", kRegistrationTool, kRelayToken);
    ToolRun run = RunAndWait(files.local[kToolFile], command, directory);
    if (!run.started) {
        PrintErrorMessage(kMsgToolNotStarted, false);
        return 0;
    }
    if (run.exitCode != 0) return 0;

    SwitchRoleOff(EngineSettings.RoamKPZ, kRoamValue, kMsgRoamValueNotDeleted);
    return 1;
}
