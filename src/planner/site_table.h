#pragma once
// The administrator's table of sites: how fast each server answers from each
// site, how many client machines each site has, the client counts servers
// publish, and the engine settings a plan assumes.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine_settings.h"

struct SiteLatency {
    uint32_t ms = 0;
    bool down = false;
};

struct Site {
    std::string name;
    uint32_t machines = 1;
    std::map<std::string, SiteLatency> latencies;  // by upper-case server name
};

struct SiteTable {
    std::vector<Site> sites;
    std::map<std::string, int32_t> clientCounts;  // by upper-case server name
    EngineSettingsRecord engine;
    int32_t timesToAverage = 7;

    // The server's latency from the site; null when the site does not name it.
    const SiteLatency* Latency(const Site& site, std::string_view server) const;
    // The client count the server publishes, CLIENTS_UNKNOWN when the table has none.
    int32_t ClientCount(std::string_view server) const;
};

// The key of a server name in the table: computer names do not mind the case.
std::string NameKey(std::string_view name);

// Reads the table; false on bad input, with *error naming the file, the line
// and the reason.
bool ReadSiteTable(const char* path, SiteTable* table, std::string* error);
