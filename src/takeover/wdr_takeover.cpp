// The WDR agent role: the agent is moved to the chosen server by generating a
// token from the server's token text and configuring the agent with it.

#include "common/text.h"
#include "engine/engine_settings.h"
#include "output/output.h"
#include "takeover/agent_files.h"
#include "takeover/process_runner.h"
#include "takeover/takeovers.h"

namespace {

constexpr char kAgentDirectory[] = "c:\\Program Files\\Dovar\\WDR\\bin\\";
constexpr char kTokenText[] = "wdrtoken.txt";
constexpr char kToken[] = "wdrtoken.tok";
constexpr char kGenerator[] = "wdtokgen.exe";
constexpr char kConfigTool[] = "wdagtcfg.exe";
constexpr char kServerPathValue[] = "ParentWDRPath";
constexpr char kDefaultServerPath[] = "WDR";
constexpr char kRoamValue[] = "RoamWDR";

constexpr unsigned kMsgServerPathFailed = 126;
constexpr unsigned kMsgTokenTextCopyFailed = 151;
constexpr unsigned kMsgGeneratorCopyFailed = 152;
constexpr unsigned kMsgGeneratorNotStarted = 154;
constexpr unsigned kMsgConfigToolNotStarted = 155;
constexpr unsigned kMsgConfigToolCopyFailed = 156;
constexpr unsigned kMsgRoamValueNotDeleted = 159;

// In this order; indexes below follow it.
constexpr AgentFile kFiles[] = {{kTokenText, kMsgTokenTextCopyFailed},
                                {kGenerator, kMsgGeneratorCopyFailed},
                                {kConfigTool, kMsgConfigToolCopyFailed}};
constexpr size_t kGeneratorFile = 1;
constexpr size_t kConfigToolFile = 2;

// Runs one tool in the agent directory; true when it started and ended with 0.
// A tool that ends with another code is reported only by its trace line.
bool RunTool(const char* toolPath, const char* commandLine, unsigned notStartedMessage) {
    ToolRun run = RunAndWait(toolPath, commandLine, kAgentDirectory);
    if (!run.started) {
        PrintErrorMessage(notStartedMessage, false);
        return false;
    }
    return run.exitCode == 0;
}

}  // namespace

int TakeOverWDR(const char* server) {
    char serverPath[kServerPathSize];
    LONG status = ReadAgentServerPath(kServerPathValue, kDefaultServerPath, serverPath);
    if (serverPath[0] == '\0') {
        ReportServerPathError(kMsgServerPathFailed, static_cast<DWORD>(status));
        return 0;
    }
    AgentFileSet files;
    if (!BuildAgentFileSet(files, kFiles, sizeof kFiles / sizeof kFiles[0], serverPath,
                           kAgentDirectory)) {
        ReportServerPathError(kMsgServerPathFailed, ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    if (!FetchAgentFiles(server, files)) return 0;

    char command[kTextSize];
    FormatText(command, "%s %s %s", kGenerator, kTokenText, kToken);
    if (!RunTool(files.local[kGeneratorFile], command, kMsgGeneratorNotStarted)) return 0;
    FormatText(command, "%s -T:%s", kConfigTool, kToken);
    if (!RunTool(files.local[kConfigToolFile], command, kMsgConfigToolNotStarted)) return 0;

    SwitchRoleOff(EngineSettings.RoamWDR, kRoamValue, kMsgRoamValueNotDeleted);
    return 1;
}
