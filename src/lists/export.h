#pragma once
#include <windows.h>

#include <cstdio>
#include <cstdint>

#include "lists/report_walk.h"

static_assert(kReportTooDeep == ERROR_STACK_OVERFLOW && kReportTooLarge == ERROR_NOT_ENOUGH_QUOTA &&
              kUnprintableList == ERROR_INVALID_DATA && kUnreportableName == ERROR_INVALID_NAME);

int ExportServerLists(const char* fileName);
long ReportRole(FILE* file, const char* role);
uint32_t ReportServer(const char* server, const char* role, int level, FILE* file);
