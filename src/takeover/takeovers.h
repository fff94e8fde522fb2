#pragma once
// Making a chosen server the machine's owner for one role. Non-zero = success.

#include "engine/nearest.h"

int TakeOverParent(const char* server);
int TakeOverHPDServer(const char* server);
int TakeOverPrimary(const char* server);
int TakeOverQuarantine(const char* server);
int TakeOverAlerts(const char* server);
int TakeOverWDR(const char* server);
int TakeOverKPZ(const char* server);

// The table start-up hands to the search (SetRoleTakeovers).
inline constexpr RoleTakeovers kRoleTakeovers = {
    .parent = TakeOverParent,
    .quarantine = TakeOverQuarantine,
    .hpd = TakeOverHPDServer,
    .kpz = TakeOverKPZ,
    .wdr = TakeOverWDR,
    .primary = TakeOverPrimary,
    .alerts = TakeOverAlerts,
};
