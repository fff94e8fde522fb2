// The report of the roaming server lists as the network shows them now: each
// role's local list, then what every server named there publishes below it.
// Written to a file it is an import file that sets the same lists again.

#include "lists/export.h"

#include <windows.h>

#include <cstdarg>
#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "engine/timing.h"
#include "entry/system_functions.h"
#include "output/output.h"
#include "product/server_registry.h"

namespace {

constexpr unsigned kMsgCannotOpenExport = 72;
constexpr unsigned kMsgExport = 145;
constexpr unsigned kMsgTiming = 149;
constexpr unsigned kMsgFailure = 150;

constexpr const char* kReportedRoles[] = {"Parent", "Quarantine", "Alerts",
                                          "HPD",    "WDR",        "KPZ"};

constexpr char kIndent[] = "  ";
constexpr char kTempPrefix[] = "prm";

// A server name and a returned list can each take a whole list buffer; the
// line must never be cut, or the file would lose its line end.
constexpr size_t kReportLineSize = 3 * kTextSize;

void PrintReportLine(FILE* file, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
void PrintReportLine(FILE* file, const char* format, ...) {
    char line[kReportLineSize];
    va_list args;
    va_start(args, format);
    FormatTextV(line, sizeof line, format, args);
    va_end(args);
    PrintMessage(line, file, true);
}

void PrintIndent(int level, FILE* file) {
    for (int i = 0; i < level; ++i) PrintMessage(kIndent, file, true);
}

// Calls ReportServer for each name of list between commas (a limit or a ">" or
// "=" stays part of the name); returns the status of the last call, 0 if none.
uint32_t ReportServersOf(const char* list, const char* role, int level, FILE* file) {
    char names[kListSize];
    CopyText(names, list);
    uint32_t status = 0;
    char* name = names;
    for (;;) {
        char* comma = std::strchr(name, ',');
        if (comma) *comma = '\0';
        // An empty entry names no server; asking the library about "" only
        // adds a line that no import can use.
        if (*name) status = ReportServer(name, role, level, file);
        if (!comma) break;
        name = comma + 1;
    }
    return status;
}

// The directory part of fileName, or "." when it has none.
void DirectoryOf(const char* fileName, char (&directory)[MAX_PATH]) {
    const char* end = nullptr;
    for (const char* p = fileName; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') end = p + 1;
    if (!end) {
        CopyText(directory, ".");
        return;
    }
    CopyText(directory, std::string_view(fileName, static_cast<size_t>(end - fileName)));
}

// Replaces target with the finished report in one step where the system can;
// Windows 9x has no MoveFileEx and gets delete-then-rename.
bool ReplaceTarget(const char* tempName, const char* fileName) {
    if (EngineFunctions.MoveFileExA) {
        if (EngineFunctions.MoveFileExA(tempName, fileName, MOVEFILE_REPLACE_EXISTING))
            return true;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return false;
    }
    if (GetFileAttributesA(fileName) != INVALID_FILE_ATTRIBUTES && !DeleteFileA(fileName))
        return false;
    return MoveFileA(tempName, fileName) != FALSE;
}

int ExportFailed(const char* tempName, DWORD error) {
    DeleteFileA(tempName);
    char text[kTextSize];
    LoadMessage(kMsgExport, text);
    SetLastError(error);
    PrintLastError(text, nullptr, true);
    return 0;
}

}  // namespace

uint32_t ReportServer(const char* server, const char* role, int level, FILE* file) {
    char list[kListSize] = "";
    uint32_t elapsedMs = 0;
    product::Status status = ProbeServer(server, role, level, list, &elapsedMs);
    PrintIndent(level, file);

    char note[kTextSize];
    if (status != product::kOk) {
        FormatMessageId(note, sizeof note, kMsgFailure, static_cast<int>(elapsedMs), status);
        PrintReportLine(file, "# %s %s %d # %s\n", server, role, level, note);
        return status;
    }
    FormatMessageId(note, sizeof note, kMsgTiming, static_cast<int>(elapsedMs), 0u);
    if (!list[0])
        PrintReportLine(file, "# %s %s %d # %s\n", server, role, level, note);
    else if (file)
        PrintReportLine(file, "%s %s %d %s\n", server, role, level, list);
    else
        PrintReportLine(file, "%s %s %d %s # %s\n", server, role, level, list, note);
    return ReportServersOf(list, role, level + 1, file);
}

long ReportRole(FILE* file, const char* role) {
    char list[kListSize] = "";
    uint32_t elapsedMs = 0;
    LONG status = ReadLocalServerList(list, role, &elapsedMs);
    if (status == ERROR_SUCCESS && list[0])
        PrintReportLine(file, "<local> %s 0 %s\n", role, list);
    else
        PrintReportLine(file, "# <local> %s 0\n", role);
    ReportServersOf(list, role, 1, file);
    return status;
}

int ExportServerLists(const char* fileName) {
    if (!fileName || !fileName[0]) {
        ShowDetail = 1;
        for (const char* role : kReportedRoles) ReportRole(nullptr, role);
        return 1;
    }

    // The report is built beside its target, so that the finished file only
    // needs a rename on the same volume and a failure never touches the target.
    char directory[MAX_PATH];
    char tempName[MAX_PATH] = "";
    DirectoryOf(fileName, directory);
    StdioFile report;
    if (GetTempFileNameA(directory, kTempPrefix, 0, tempName)) {
        report.reset(std::fopen(tempName, "a"));
        if (!report) DeleteFileA(tempName);
    }
    if (!report) {
        char text[kTextSize];
        LoadMessage(kMsgCannotOpenExport, text);
        PrintMessage(text, nullptr, false);
        return 0;
    }

    ShowDetail = 1;
    for (const char* role : kReportedRoles) ReportRole(report.get(), role);

    bool written = !std::ferror(report.get());
    bool closed = std::fclose(report.release()) == 0;
    if (!written || !closed) {
        DWORD error = GetLastError();
        return ExportFailed(tempName, error ? error : ERROR_WRITE_FAULT);
    }
    if (!ReplaceTarget(tempName, fileName)) {
        DWORD error = GetLastError();
        return ExportFailed(tempName, error);
    }
    return 1;
}
