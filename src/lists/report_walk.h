#pragma once
// The report's walk down the tree of server lists and the lines it writes.
// Every list it prints and follows was published by a server, so this text is
// handled with no Windows header in reach: it is built natively as well and
// fuzzed there. Asking the servers and formatting the notes is the caller's.

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "product/server_list.h"

// No real tree of lists is this deep or names this many servers; a walk that
// gets there is cut with a commented line for the server not asked.
constexpr int kMaxReportLevel = kDeepestListLevel;
constexpr int kMaxReportedServers = 10000;  // lines of servers per role
// The statuses such a line shows, and the one of a list that cannot stand on a
// line of the report (it carries a line break or another control character):
// ERROR_STACK_OVERFLOW, ERROR_NOT_ENOUGH_QUOTA and ERROR_INVALID_DATA.
constexpr uint32_t kReportTooDeep = 1001;
constexpr uint32_t kReportTooLarge = 1816;
constexpr uint32_t kUnprintableList = 13;
// ERROR_INVALID_NAME: a name that no import would read back as that server
// (a blank inside it, or a "#" in front) is not asked, and its line is
// commented.
constexpr uint32_t kUnreportableName = 123;

constexpr size_t kReportNoteSize = 1024;

// What the walk needs from outside.
class ReportChannel {
public:
    // Asks server for the list it publishes below level, as a search would;
    // the library's status.
    virtual uint32_t Ask(const char* server, const char* role, int level,
                         char (&list)[kListSize], uint32_t* elapsedMs) = 0;
    // The note after an answer, and the one of a server that failed.
    virtual void TimingNote(char (&note)[kReportNoteSize], uint32_t elapsedMs) = 0;
    virtual void FailureNote(char (&note)[kReportNoteSize], uint32_t elapsedMs,
                             uint32_t status) = 0;
    // One piece of output: an indentation step or a whole line.
    virtual void Print(const char* text) = 0;
    // A report written to a file leaves the timing notes of answers out, so
    // that it imports back as it stands.
    virtual bool ToFile() const = 0;

protected:
    ~ReportChannel() = default;
};

// Whether a list can stand on a report line and be read back by an import as
// itself. A line break or another control character would write lines of its
// own into the report, which a later import would apply; a "#" in front would
// make an import read the line as a request to delete the value.
bool CanStandOnReportLine(std::string_view list);

// The role's "<local>" line for this machine's list (empty: none, or one that
// could not be read or printed), then the servers it names, level by level.
void ReportLocalList(ReportChannel& channel, const char* role, const char* list);
// One server and, below it, the servers it names; the status of the last
// server reported in that subtree.
uint32_t ReportServerTree(ReportChannel& channel, const char* server, const char* role,
                          int level);
