// The report of the roaming server lists as the network shows them now: each
// role's local list, then what every server named there publishes below it.
// Written to a file it is an import file that sets the same lists again.

#include "lists/export.h"

#include <windows.h>

#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "product/server_list.h"
#include "engine/timing.h"
#include "platform/file_replace.h"
#include "output/output.h"
#include "product/server_registry.h"

namespace {

constexpr unsigned kMsgCannotOpenExport = 72;
constexpr unsigned kMsgExport = 145;
constexpr unsigned kMsgTiming = 149;
constexpr unsigned kMsgFailure = 150;

constexpr const char* kReportedRoles[] = {"Parent", "Quarantine", "Alerts",
                                          "HPD",    "WDR",        "KPZ"};

// The report as the program writes it: servers asked through the product
// library, notes from the string table, lines through PrintMessage as detail
// lines (so also on the console while ShowDetail is set).
class NetworkReport final : public ReportChannel {
public:
    explicit NetworkReport(FILE* file) : file_(file) {}

    uint32_t Ask(const char* server, const char* role, int level, char (&list)[kListSize],
                 uint32_t* elapsedMs) override {
        return ProbeServer(server, role, level, list, elapsedMs);
    }
    void TimingNote(char (&note)[kReportNoteSize], uint32_t elapsedMs) override {
        FormatMessageId(note, sizeof note, kMsgTiming, static_cast<int>(elapsedMs), 0u);
    }
    void FailureNote(char (&note)[kReportNoteSize], uint32_t elapsedMs,
                     uint32_t status) override {
        FormatMessageId(note, sizeof note, kMsgFailure, static_cast<int>(elapsedMs), status);
    }
    void Print(const char* text) override { PrintMessage(text, file_, true); }
    bool ToFile() const override { return file_ != nullptr; }

private:
    FILE* file_;
};

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
    NetworkReport report(file);
    return ReportServerTree(report, server, role, level);
}

long ReportRole(FILE* file, const char* role) {
    char list[kListSize] = "";
    uint32_t elapsedMs = 0;
    LONG status = ReadLocalServerList(list, role, &elapsedMs);
    if (status != ERROR_SUCCESS) list[0] = '\0';
    NetworkReport report(file);
    ReportLocalList(report, role, list);
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
    char tempName[MAX_PATH] = "";
    StdioFile report;
    if (CreateTempBeside(fileName, tempName)) {
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
    Replacement replacement = ReplaceWithTemp(tempName, fileName);
    if (replacement != Replacement::Done) {
        DWORD error = GetLastError();
        return ExportFailed(tempName, error, replacement == Replacement::OnlyInTemporaryFile);
    }
    return 1;
}
