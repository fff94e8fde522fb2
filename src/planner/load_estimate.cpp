#include "planner/load_estimate.h"

#include <algorithm>
#include <cstring>
#include <map>

#include "planner/plan_text.h"

namespace {

constexpr double kMsPerHour = 3600000.0;
// An interval of 0 makes the engine act at every opportunity: both of its
// loops then act once a second, so that is what it is counted as.
constexpr uint32_t kEveryOpportunityMs = 1000;

double PerHour(uint32_t intervalMs) {
    return kMsPerHour / (intervalMs ? intervalMs : kEveryOpportunityMs);
}

bool RoamsRole(const EngineSettingsRecord& engine, const char* role) {
    const struct {
        const char* role;
        DWORD value;
    } switches[] = {{"Parent", engine.RoamClient}, {"Quarantine", engine.RoamQuarantine},
                    {"HPD", engine.RoamHPD},       {"KPZ", engine.RoamKPZ},
                    {"WDR", engine.RoamWDR},       {"Primary", engine.RoamServer},
                    {"Alerts", engine.RoamAlerts}};
    for (const auto& roam : switches)
        if (std::strcmp(roam.role, role) == 0) return roam.value != 0;
    return false;
}

class Tally {
public:
    ServerLoad& Of(const std::string& name) {
        auto [entry, isNew] = loads_.try_emplace(NameKey(name));
        if (isNew) entry->second.name = name;
        return entry->second;
    }
    std::vector<ServerLoad> Heaviest() const {
        std::vector<ServerLoad> sorted;
        for (const auto& [key, load] : loads_) sorted.push_back(load);
        std::stable_sort(
            sorted.begin(), sorted.end(),
            [](const ServerLoad& a, const ServerLoad& b) { return a.Total() > b.Total(); });
        return sorted;
    }

private:
    std::map<std::string, ServerLoad> loads_;
};

void AddSearches(Tally& tally, const SiteTable& table, const PlannedWalk& walk) {
    // A search that finds nothing while the network answers is repeated
    // after the retry pause, again and again.
    double searches = walk.site->machines *
                      PerHour(walk.searchedAgain ? table.engine.CheckForNewParentIntervalMs
                                                 : table.engine.FindNearestParentIntervalMs);
    double samples = table.timesToAverage > 0 ? table.timesToAverage : 0;
    for (const PlannedLevel& level : walk.levels) {
        for (const PlannedServer& server : level.servers)
            tally.Of(server.name).searchProbes += searches * samples;
        if (level.level == 1 && !level.servers.empty())
            tally.Of(level.servers[0].name).searchProbes += searches;  // the warm-up
        for (int i = level.group.first; level.group.isGroup && i <= level.group.last; ++i) {
            const PlannedServer& member = level.servers[static_cast<size_t>(i)];
            if (member.acceptable) tally.Of(member.name).clientCountReads += searches;
        }
    }
}

void AddParentChecks(Tally& tally, const SiteTable& table, const PlannedWalk& walk) {
    std::vector<std::string> parents = walk.candidates;
    if (parents.empty() && !walk.winner.empty()) parents.push_back(walk.winner);
    if (parents.empty()) return;
    // A random pick spreads the site's machines evenly over its members.
    double checks = walk.site->machines * PerHour(table.engine.CheckParentIntervalMs) /
                    static_cast<double>(parents.size());
    for (const std::string& parent : parents) tally.Of(parent).parentChecks += checks;
}

std::string IntervalText(uint32_t ms) {
    if (ms == 0) return "at every opportunity (counted as once a second)";
    if (ms % 60000 == 0) return Concat({"every ", std::to_string(ms / 60000), " min"});
    return Concat({"every ", std::to_string(ms / 1000), " s"});
}

}  // namespace

std::vector<ServerLoad> EstimateLoad(const SiteTable& table,
                                     const std::vector<PlannedWalk>& walks) {
    Tally tally;
    for (const PlannedWalk& walk : walks) {
        if (!RoamsRole(table.engine, walk.role)) continue;
        AddSearches(tally, table, walk);
        if (std::strcmp(walk.role, "Parent") == 0) AddParentChecks(tally, table, walk);
    }
    return tally.Heaviest();
}

void PrintLoad(const SiteTable& table, const std::vector<ServerLoad>& load) {
    uint32_t machines = 0;
    for (const Site& site : table.sites) machines += site.machines;
    Say("Load on the servers: probes per hour from %u client machine%s", machines,
        machines == 1 ? "" : "s");
    Say("  a search per machine and roaming role %s (FindNearestParentIntervalInMinutes:",
        IntervalText(table.engine.FindNearestParentIntervalMs).c_str());
    Say("  a machine that watches its addresses searches when it moves instead), or %s",
        IntervalText(table.engine.CheckForNewParentIntervalMs).c_str());
    Say("  while it finds nothing; a parent check %s; %d samples per server and level",
        IntervalText(table.engine.CheckParentIntervalMs).c_str(), table.timesToAverage);
    if (load.empty()) {
        Say("  no roaming role has a list: no load");
        return;
    }
    Say("  %-24s %14s %14s %14s %14s", "server", "searches", "client counts", "parent checks",
        "total");
    for (const ServerLoad& server : load)
        Say("  %-24s %14.1f %14.1f %14.1f %14.1f", server.name.c_str(), server.searchProbes,
            server.clientCountReads, server.parentChecks, server.Total());
}
