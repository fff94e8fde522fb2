// The report of the roaming server lists as the network shows them now: each
// role's local list, then what every server named there publishes below it.
// Written to a file it is an import file that sets the same lists again.

#include "lists/export.h"

#include <windows.h>

#include <cstdarg>
#include <cstring>
#include <string_view>

#include "common/handles.h"
#include "common/text.h"
#include "engine/server_list.h"
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

// Where a walk stands: a chain of servers that name each other can publish
// level after level, and every server is reported once per place it appears,
// so both the depth and the number of lines are bounded.
struct ReportWalk {
    FILE* file;
    int reported = 0;
    bool stopped = false;
};

// A list with a line break or another control character would write lines of
// its own into the report, which a later import would apply.
bool HasControlCharacter(std::string_view text) {
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return true;
    }
    return false;
}

// 0 while the walk may report a server at this level, else why it stops.
product::Status ReportLimitStatus(int level, int reported) {
    if (reported >= kMaxReportedServers) return kReportTooLarge;
    if (level > kMaxReportLevel) return kReportTooDeep;
    return product::kOk;
}

void PrintFailureLine(const char* server, const char* role, int level, uint32_t elapsedMs,
                      product::Status status, FILE* file) {
    char note[kTextSize];
    FormatMessageId(note, sizeof note, kMsgFailure, static_cast<int>(elapsedMs), status);
    PrintReportLine(file, "# %s %s %d # %s\n", server, role, level, note);
}

void PrintAnswerLine(const char* server, const char* role, int level, uint32_t elapsedMs,
                     const char* list, FILE* file) {
    char note[kTextSize];
    FormatMessageId(note, sizeof note, kMsgTiming, static_cast<int>(elapsedMs), 0u);
    if (!list[0])
        PrintReportLine(file, "# %s %s %d # %s\n", server, role, level, note);
    else if (file)
        PrintReportLine(file, "%s %s %d %s\n", server, role, level, list);
    else
        PrintReportLine(file, "%s %s %d %s # %s\n", server, role, level, list, note);
}

uint32_t ReportServerIn(ReportWalk& walk, const char* server, const char* role, int level);

// Reports every server that list names, split as the search splits it (at
// ",", ">" and "=", each asked by its name without a limit); list is cut up in
// place. The status of the last server reported, 0 if none.
uint32_t ReportServersOf(ReportWalk& walk, char* list, const char* role, int level) {
    uint32_t status = 0;
    char* cursor = list;
    ListEntry entry;
    while (!walk.stopped && TakeListEntry(&cursor, entry, true)) {
        // An empty entry names no server; asking the library about "" only
        // adds a line that no import can use.
        if (entry.name[0]) status = ReportServerIn(walk, entry.name, role, level);
    }
    return status;
}

uint32_t ReportServerIn(ReportWalk& walk, const char* server, const char* role, int level) {
    if (product::Status limit = ReportLimitStatus(level, walk.reported)) {
        PrintIndent(level, walk.file);
        PrintFailureLine(server, role, level, 0, limit, walk.file);
        ++walk.reported;
        // Past the number of lines nothing more of the role is reported.
        if (limit == kReportTooLarge) walk.stopped = true;
        return limit;
    }
    ++walk.reported;

    char list[kListSize] = "";
    uint32_t elapsedMs = 0;
    product::Status status = ProbeServer(server, role, level, list, &elapsedMs);
    PrintIndent(level, walk.file);
    if (status == product::kOk && HasControlCharacter(list)) status = kUnprintableList;
    if (status != product::kOk) {
        PrintFailureLine(server, role, level, elapsedMs, status, walk.file);
        return status;
    }
    // The list stands on its line exactly as published, so that the file
    // imports back to the same value; only the walk below splits it.
    PrintAnswerLine(server, role, level, elapsedMs, list, walk.file);
    return ReportServersOf(walk, list, role, level + 1);
}

// The directory part of fileName, or "." when it has none; false when it does
// not fit a path.
bool DirectoryOf(const char* fileName, char (&directory)[MAX_PATH]) {
    const char* end = nullptr;
    for (const char* p = fileName; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') end = p + 1;
    if (!end) return CopyText(directory, ".");
    return CopyText(directory, std::string_view(fileName, static_cast<size_t>(end - fileName)));
}

enum class Replacement { Done, Failed, OnlyInTemporaryFile };

// Replaces target with the finished report in one step where the system can.
// Windows 9x has no MoveFileEx and gets delete-then-rename: a rename that
// fails there leaves the report only in the temporary file.
Replacement ReplaceTarget(const char* tempName, const char* fileName) {
    if (!EngineFunctions.IsWin9x) {
        if (MoveFileExA(tempName, fileName, MOVEFILE_REPLACE_EXISTING)) return Replacement::Done;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return Replacement::Failed;
    }
    if (GetFileAttributesA(fileName) != INVALID_FILE_ATTRIBUTES && !DeleteFileA(fileName))
        return Replacement::Failed;
    if (MoveFileA(tempName, fileName)) return Replacement::Done;
    return Replacement::OnlyInTemporaryFile;
}

// Message 145 with the system's error; a report that exists only in its
// temporary file is kept there, and the message names that file.
int ExportFailed(const char* tempName, DWORD error, bool keepTemporaryFile) {
    char text[kTextSize];
    LoadMessage(kMsgExport, text);
    if (keepTemporaryFile) {
        char named[kTextSize];
        FormatText(named, "%s: %s", text, tempName);
        CopyText(text, named);
    } else {
        DeleteFileA(tempName);
    }
    SetLastError(error);
    PrintLastError(text, nullptr, true);
    return 0;
}

}  // namespace

uint32_t ReportServer(const char* server, const char* role, int level, FILE* file) {
    ReportWalk walk{file};
    return ReportServerIn(walk, server, role, level);
}

long ReportRole(FILE* file, const char* role) {
    char list[kListSize] = "";
    uint32_t elapsedMs = 0;
    LONG status = ReadLocalServerList(list, role, &elapsedMs);
    // This machine's own value gets the same care as a server's: text that
    // would break the report's lines is neither printed nor followed.
    if (status != ERROR_SUCCESS || HasControlCharacter(list)) list[0] = '\0';
    if (list[0])
        PrintReportLine(file, "<local> %s 0 %s\n", role, list);
    else
        PrintReportLine(file, "# <local> %s 0\n", role);
    ReportWalk walk{file};
    ReportServersOf(walk, list, role, 1);
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
    StdioFile report;
    if (DirectoryOf(fileName, directory) && GetTempFileNameA(directory, kTempPrefix, 0, tempName)) {
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
        return ExportFailed(tempName, error ? error : ERROR_WRITE_FAULT, false);
    }
    Replacement replacement = ReplaceTarget(tempName, fileName);
    if (replacement != Replacement::Done) {
        DWORD error = GetLastError();
        return ExportFailed(tempName, error, replacement == Replacement::OnlyInTemporaryFile);
    }
    return 1;
}
