#pragma once
// Choosing the nearest server of each role, and handing it to the role's takeover.

#include <cstdint>

#include "product/server_list.h"

constexpr int CLIENTS_UNKNOWN = -3;

int FindNearestServer(const char* role, char* nameOut);
int FindNearestWithRetry(const char* role, char* nameOut, uint32_t* elapsedMsOut, int once);
int NearestParent(int once);
int NearestQuarantine(int once);
int NearestHPD(int once);
int NearestWDR(int once);
int NearestKPZ(int once);
int NearestPrimary(int once);
int NearestAlerts(int once);
int NearestAll(int once);
