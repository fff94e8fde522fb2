#pragma once
#include <cstdio>
#include <cstdint>

int ExportServerLists(const char* fileName);
long ReportRole(FILE* file, const char* role);
uint32_t ReportServer(const char* server, const char* role, int level, FILE* file);
