#pragma once
// What the planned clients cost the servers: probes per hour from searches
// (TimesToAverage per server of every level walked, one warm-up per search),
// client-count reads of balanced "=" groups, and parent checks; and the
// probes of the first minute when a site's machines all start, or all move.

#include <string>
#include <vector>

#include "planner/plan_walk.h"
#include "planner/site_table.h"

struct ServerLoad {
    std::string name;
    double searchProbes = 0;
    double clientCountReads = 0;
    double parentChecks = 0;
    double Total() const { return searchProbes + clientCountReads + parentChecks; }
};

// The probes one site's machines send in the first minute after they all
// start at once, and after they all notice a network change (only machines
// that watch their addresses search at once).
struct SiteBurst {
    const Site* site;
    struct Server {
        std::string name;
        double atStart = 0;
        double afterMove = 0;
    };
    std::vector<Server> servers;  // heaviest first
};

struct LoadEstimate {
    std::vector<ServerLoad> hourly;  // heaviest first
    std::vector<SiteBurst> bursts;   // in the table's order
};

LoadEstimate EstimateLoad(const SiteTable& table, const std::vector<PlannedWalk>& walks);
// The probes per hour that the walk's machines send (all roles alike): what
// a search that finds nothing costs while it repeats.
double WalkProbesPerHour(const SiteTable& table, const PlannedWalk& walk);
