#pragma once
// The administrator's table of sites: how fast each server answers from each
// site, how many client machines each site has, the client counts servers
// publish, and the settings a plan assumes (the engine's own, and the
// planner's model of the machines).

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_settings.h"
#include "planner/site_text.h"

// Servers unreachable from every site, by NameKey: a failure planned over a
// table without a copy of it.
using DownServers = std::set<std::string>;

struct SiteTable {
    std::vector<Site> sites;
    std::map<std::string, int32_t> clientCounts;  // by NameKey
    EngineSettingsRecord engine;
    int32_t timesToAverage = 7;
    // The share of machines that cannot watch their addresses (no socket
    // library), in percent: only they search on a fixed period.
    uint32_t withoutAddressWatchingPercent = 0;
    // A choice decided by fewer milliseconds than this is a close call.
    uint32_t closeCallMs = 5;
    // Machines of a site that start within this many seconds (0: not asked)
    // read the client counts of a balanced group before the records of the
    // others that started just before them count: a machine's own record
    // counts registrationDelayMs after its read (its takeover and the
    // product's registration on the new parent).
    uint32_t startWindowSeconds = 0;
    uint32_t registrationDelayMs = 3000;

    // The server's latency from the site, down when down holds it; null when
    // the site does not name it.
    const SiteLatency* Latency(const Site& site, std::string_view server,
                               const DownServers* down = nullptr) const;
    // The client count the server publishes, CLIENTS_UNKNOWN when the table has none.
    int32_t ClientCount(std::string_view server) const;
};

// Reads the table; false on bad input, with *error naming the file, the line
// and the reason.
bool ReadSiteTable(const char* path, SiteTable* table, std::string* error);
