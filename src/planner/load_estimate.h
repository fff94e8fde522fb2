#pragma once
// What the planned clients cost the servers: probes per hour from searches
// (TimesToAverage per server of every level walked, one warm-up per search),
// client-count reads of balanced "=" groups, and parent checks.

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

// Heaviest first.
std::vector<ServerLoad> EstimateLoad(const SiteTable& table, const std::vector<PlannedWalk>& walks);
void PrintLoad(const SiteTable& table, const std::vector<ServerLoad>& load);
