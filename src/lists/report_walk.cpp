// The walk of the export report and its lines.

#include "lists/report_walk.h"

#include <cstdarg>

#include "common/text.h"

namespace {

constexpr char kIndent[] = "  ";

// A server name and a returned list can each take a whole list buffer; the
// line must never be cut, or the file would lose its line end.
constexpr size_t kReportLineSize = 3 * 1024;

// Where a walk stands: a chain of servers that name each other can publish
// level after level, and every server is reported once per place it appears,
// so both the depth and the number of lines are bounded.
struct ReportWalk {
    ReportChannel& channel;
    int reported = 0;
    bool stopped = false;
};

void PrintLine(ReportChannel& channel, const char* format, ...) TEXT_FORMAT_CHECK(2, 3);
void PrintLine(ReportChannel& channel, const char* format, ...) {
    char line[kReportLineSize];
    va_list args;
    va_start(args, format);
    FormatTextV(line, sizeof line, format, args);
    va_end(args);
    channel.Print(line);
}

void PrintIndent(ReportChannel& channel, int level) {
    for (int i = 0; i < level; ++i) channel.Print(kIndent);
}

// 0 while the walk may report a server at this level, else why it stops.
uint32_t ReportLimitStatus(int level, int reported) {
    if (reported >= kMaxReportedServers) return kReportTooLarge;
    if (level > kMaxReportLevel) return kReportTooDeep;
    return 0;
}

void PrintFailureLine(ReportChannel& channel, const char* server, const char* role, int level,
                      uint32_t elapsedMs, uint32_t status) {
    char note[kReportNoteSize];
    channel.FailureNote(note, elapsedMs, status);
    PrintLine(channel, "# %s %s %d # %s\n", server, role, level, note);
}

void PrintAnswerLine(ReportChannel& channel, const char* server, const char* role, int level,
                     uint32_t elapsedMs, const char* list) {
    char note[kReportNoteSize];
    channel.TimingNote(note, elapsedMs);
    if (!list[0])
        PrintLine(channel, "# %s %s %d # %s\n", server, role, level, note);
    else if (channel.ToFile())
        PrintLine(channel, "%s %s %d %s\n", server, role, level, list);
    else
        PrintLine(channel, "%s %s %d %s # %s\n", server, role, level, list, note);
}

// Whether an import reads a line that starts with this name as a line for
// this server: it drops the blanks around the name, ends the name at the
// first blank left, and takes a line that starts with "#" for a comment.
bool CanStandAsMachine(std::string_view name) {
    size_t first = name.find_first_not_of(' ');
    if (first == std::string_view::npos || name[first] == '#') return false;
    size_t last = name.find_last_not_of(' ');
    return name.substr(first, last - first + 1).find(' ') == std::string_view::npos;
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
    ReportChannel& channel = walk.channel;
    if (uint32_t limit = ReportLimitStatus(level, walk.reported)) {
        PrintIndent(channel, level);
        PrintFailureLine(channel, server, role, level, 0, limit);
        ++walk.reported;
        // Past the number of lines nothing more of the role is reported.
        if (limit == kReportTooLarge) walk.stopped = true;
        return limit;
    }
    ++walk.reported;
    if (!CanStandAsMachine(server)) {
        PrintIndent(channel, level);
        PrintFailureLine(channel, server, role, level, 0, kUnreportableName);
        return kUnreportableName;
    }

    char list[kListSize] = "";
    uint32_t elapsedMs = 0;
    uint32_t status = channel.Ask(server, role, level, list, &elapsedMs);
    PrintIndent(channel, level);
    if (status == 0 && !CanStandOnReportLine(list)) status = kUnprintableList;
    if (status != 0) {
        PrintFailureLine(channel, server, role, level, elapsedMs, status);
        return status;
    }
    // The list stands on its line exactly as published, so that the file
    // imports back to the same value; only the walk below splits it.
    PrintAnswerLine(channel, server, role, level, elapsedMs, list);
    return ReportServersOf(walk, list, role, level + 1);
}

}  // namespace

bool CanStandOnReportLine(std::string_view list) {
    for (char c : list) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) return false;
    }
    size_t first = list.find_first_not_of(' ');
    return first == std::string_view::npos || list[first] != '#';
}

void ReportLocalList(ReportChannel& channel, const char* role, const char* localList) {
    char list[kListSize] = "";
    // This machine's own value gets the same care as a server's: a list that
    // would not read back as itself is neither printed nor followed.
    if (CanStandOnReportLine(localList)) CopyText(list, localList);
    if (list[0])
        PrintLine(channel, "<local> %s 0 %s\n", role, list);
    else
        PrintLine(channel, "# <local> %s 0\n", role);
    ReportWalk walk{channel};
    ReportServersOf(walk, list, role, 1);
}

uint32_t ReportServerTree(ReportChannel& channel, const char* server, const char* role,
                          int level) {
    ReportWalk walk{channel};
    return ReportServerIn(walk, server, role, level);
}
