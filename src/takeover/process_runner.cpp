// Remote file copies and tool runs of the takeovers, with their trace lines.

#include "takeover/process_runner.h"

#include "common/handles.h"
#include "common/text.h"
#include "platform/file_replace.h"
#include "platform/stop_request.h"
#include "platform/system_functions.h"
#include "output/output.h"
#include "product/product_library.h"

namespace {

constexpr unsigned kMsgCreateProcessTrace = 157;
constexpr unsigned kMsgRemoteFileCopyTrace = 158;

// The last error of a step that failed, never 0: a failure must not read as
// a copy that worked.
product::Status StepError() {
    DWORD error = GetLastError();
    return error ? error : ERROR_GEN_FAILURE;
}

// The copy lands beside the target and replaces it only once it is whole: a
// copy that breaks off half-way must not leave the product or an agent half a
// file where the old one was. A failure of the library is its own status; of
// the steps around it, the system's error.
product::Status CopyIntoPlace(const char* server, const char* remotePath, const char* localPath) {
    if (!Product.RemoteFileCopy) return product::kLibraryUnavailable;
    char tempName[MAX_PATH];
    if (!CreateTempBeside(localPath, tempName)) return StepError();
    product::Status status = Product.RemoteFileCopy(server, remotePath, 0, tempName, 1);
    // The agents' takeovers report a failed copy with the last error.
    DWORD lastError = GetLastError();
    if (status == 0 && ReplaceWithTemp(tempName, localPath) != Replacement::Done) {
        status = StepError();
        lastError = status;
    }
    if (status != 0) {
        DeleteFileA(tempName);
        SetLastError(lastError);
    }
    return status;
}

}  // namespace

product::Status CopyFileFromServer(const char* server, const char* remotePath,
                                   const char* localPath) {
    product::Status status = CopyIntoPlace(server, remotePath, localPath);
    TraceRemoteFileCopy(server, remotePath, localPath, status);
    return status;
}

ToolRun RunAndWait(const char* toolPath, const char* commandLine, const char* workingDirectory) {
    ToolRun run;
    // CreateProcessA may write into the command line, so it gets a copy.
    char command[kTextSize];
    CopyText(command, commandLine);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION info = {};
    // On NT a console tool started by a service would get a console window of
    // its own on the interactive user's desktop, running as LocalSystem, and
    // closing it would end the tool and fail the takeover. Windows 9x knows
    // no such flag.
    DWORD flags = NORMAL_PRIORITY_CLASS | (EngineFunctions.IsWin9x ? 0 : CREATE_NO_WINDOW);
    if (!CreateProcessA(toolPath, command, nullptr, nullptr, FALSE, flags, nullptr,
                        workingDirectory, &startup, &info))
        return run;
    ProcessOwner process(info);
    run.started = true;
    // Once the wait reports the end, the exit code is final, also when the
    // tool chose 259 (STILL_ACTIVE) itself: waiting again for that would spin
    // for ever on a handle that stays signalled. A tool that hangs must not
    // make the engine unstoppable: a stop ends the wait, the tool runs on,
    // and the run counts as failed (STILL_ACTIVE).
    DWORD exitCode = STILL_ACTIVE;
    if (WaitForObjectOrEngineStop(process.process.get(), INFINITE) == EngineWait::Signalled)
        GetExitCodeProcess(process.process.get(), &exitCode);
    run.exitCode = exitCode;
    TraceCreateProcess(toolPath, workingDirectory, commandLine, exitCode);
    return run;
}

// Both traces format into buffers of their own: they may run on any thread.
void TraceCreateProcess(const char* toolPath, const char* workingDirectory,
                        const char* commandLine, DWORD exitCode) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, kMsgCreateProcessTrace, toolPath, workingDirectory,
                    commandLine, static_cast<int>(exitCode), static_cast<unsigned>(exitCode));
    PrintMessage(line, nullptr, false);
}

void TraceRemoteFileCopy(const char* server, const char* remotePath, const char* localPath,
                         product::Status status) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, kMsgRemoteFileCopyTrace, server, remotePath, localPath,
                    static_cast<int>(status), static_cast<unsigned>(status));
    PrintMessage(line, nullptr, false);
}
