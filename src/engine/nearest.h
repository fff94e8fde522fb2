#pragma once
// Choosing the nearest server of each role, and handing it to the role's takeover.

#include <cstdint>

#include "product/server_list.h"

constexpr int CLIENTS_UNKNOWN = -3;

// Making a chosen server the machine's owner for each role; non-zero on
// success. The takeovers sit above the engine, so start-up hands their table
// to the search before the first one runs. A role without a takeover counts
// its takeover as failed.
struct RoleTakeovers {
    int (*parent)(const char* server);
    int (*quarantine)(const char* server);
    int (*hpd)(const char* server);
    int (*kpz)(const char* server);
    int (*wdr)(const char* server);
    int (*primary)(const char* server);
    int (*alerts)(const char* server);
};
void SetRoleTakeovers(const RoleTakeovers& takeovers);

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
