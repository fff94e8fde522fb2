#pragma once
#include <windows.h>

#include <cstdio>
#include <cstdint>

// No real tree of lists is this deep or names this many servers; a walk that
// gets there is cut with a commented line for the server not asked.
constexpr int kMaxReportLevel = 64;
constexpr int kMaxReportedServers = 10000;  // lines of servers per role
// The statuses such a line shows, and the one of a list that cannot stand on a
// line of the report (it carries a line break or another control character).
constexpr uint32_t kReportTooDeep = ERROR_STACK_OVERFLOW;
constexpr uint32_t kReportTooLarge = ERROR_NOT_ENOUGH_QUOTA;
constexpr uint32_t kUnprintableList = ERROR_INVALID_DATA;

int ExportServerLists(const char* fileName);
long ReportRole(FILE* file, const char* role);
uint32_t ReportServer(const char* server, const char* role, int level, FILE* file);
