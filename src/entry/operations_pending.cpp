// Temporary: operations whose modules are being written. Each module removes
// its entries from here when it lands.

#include <cstdio>

#include "engine/engine_settings.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "engine/parent_check.h"
#include "engine/timing.h"
#include "lists/export.h"
#include "lists/import.h"

int NearestParent(int) { return 0; }
int NearestQuarantine(int) { return 0; }
int NearestHPD(int) { return 0; }
int NearestWDR(int) { return 0; }
int NearestKPZ(int) { return 0; }
int NearestPrimary(int) { return 0; }
int NearestAlerts(int) { return 0; }
int NearestAll(int) { return 0; }
int CheckParent(int) { return 0; }
int ReleaseParent() { return 1; }
void Import(const char*) {}
int ExportServerLists(const char*) { return 0; }
long ReportRole(FILE*, const char*) { return 0; }
