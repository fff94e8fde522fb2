#include "planner/load_estimate.h"

#include <algorithm>
#include <map>

namespace {

constexpr double kMsPerHour = 3600000.0;
constexpr uint32_t kMsPerMinute = 60000;
// An interval of 0 makes the engine act at every opportunity: both of its
// loops then act once a second, so that is what it is counted as.
constexpr uint32_t kEveryOpportunityMs = 1000;
constexpr double kWholePercent = 100.0;

uint32_t EffectiveMs(uint32_t intervalMs) { return intervalMs ? intervalMs : kEveryOpportunityMs; }
double PerHour(uint32_t intervalMs) { return kMsPerHour / EffectiveMs(intervalMs); }

// The searches one machine makes per hour for the walk's role: a search that
// finds nothing while the network answers is repeated after the retry pause,
// again and again, by every machine; otherwise only machines that cannot
// watch their addresses search on a fixed period (the others search at
// start, after an address change and after a failed parent check).
double SearchesPerMachineHour(const SiteTable& table, const PlannedWalk& walk) {
    if (walk.searchedAgain) return PerHour(table.engine.CheckForNewParentIntervalMs);
    return PerHour(table.engine.FindNearestParentIntervalMs) *
           table.withoutAddressWatchingPercent / kWholePercent;
}

// The searches one machine makes in the first minute after it starts or moves.
double SearchesInFirstMinute(const SiteTable& table, const PlannedWalk& walk) {
    if (!walk.searchedAgain) return 1;
    uint32_t retryMs = EffectiveMs(table.engine.CheckForNewParentIntervalMs);
    return static_cast<double>((kMsPerMinute + retryMs - 1) / retryMs);
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

// What one search of the walk sends each server, times searches.
void AddSearches(Tally& tally, const SiteTable& table, const PlannedWalk& walk, double searches) {
    double samples = table.timesToAverage > 0 ? table.timesToAverage : 0;
    for (const PlannedLevel& level : walk.levels) {
        for (const PlannedServer& server : level.servers)
            tally.Of(server.name).searchProbes += searches * samples;
        // The warm-up probe comes once per search, before its first level.
        if (level.level == 1 && !level.servers.empty())
            tally.Of(level.servers[0].name).searchProbes += searches;
        for (int i = level.group.first; level.group.isGroup && i <= level.group.last; ++i) {
            const PlannedServer& member = level.servers[static_cast<size_t>(i)];
            if (member.acceptable) tally.Of(member.name).clientCountReads += searches;
        }
    }
}

void AddParentChecks(Tally& tally, const SiteTable& table, const PlannedWalk& walk) {
    double checks = PerHour(table.engine.CheckParentIntervalMs);
    if (!walk.shares.empty()) {
        for (const Share& share : walk.shares)
            tally.Of(share.server).parentChecks += checks * share.machines;
        return;
    }
    std::vector<std::string> parents = walk.EndsOn();
    if (parents.empty()) return;
    // A random pick spreads the site's machines evenly over its members.
    double each = walk.site->machines * checks / static_cast<double>(parents.size());
    for (const std::string& parent : parents) tally.Of(parent).parentChecks += each;
}

}  // namespace

double WalkProbesPerHour(const SiteTable& table, const PlannedWalk& walk) {
    Tally tally;
    AddSearches(tally, table, walk, walk.site->machines * SearchesPerMachineHour(table, walk));
    double total = 0;
    for (const ServerLoad& server : tally.Heaviest()) total += server.Total();
    return total;
}

LoadEstimate EstimateLoad(const SiteTable& table, const std::vector<PlannedWalk>& walks) {
    LoadEstimate estimate;
    Tally hourly;
    std::map<const Site*, std::pair<Tally, Tally>> bursts;  // at start, after a move
    for (const PlannedWalk& walk : walks) {
        if (!RoleRoams(table.engine, walk.role)) continue;
        const double machines = walk.site->machines;
        AddSearches(hourly, table, walk, machines * SearchesPerMachineHour(table, walk));
        if (std::string_view(walk.role) == "Parent") AddParentChecks(hourly, table, walk);
        double firstMinute = machines * SearchesInFirstMinute(table, walk);
        auto& [atStart, afterMove] = bursts[walk.site];
        AddSearches(atStart, table, walk, firstMinute);
        AddSearches(afterMove, table, walk,
                    firstMinute * (kWholePercent - table.withoutAddressWatchingPercent) /
                        kWholePercent);
    }
    estimate.hourly = hourly.Heaviest();
    for (const Site& site : table.sites) {
        auto found = bursts.find(&site);
        if (found == bursts.end()) continue;
        SiteBurst burst{&site, {}};
        Tally& afterMove = found->second.second;
        for (const ServerLoad& server : found->second.first.Heaviest())
            burst.servers.push_back(
                {server.name, server.Total(), afterMove.Of(server.name).Total()});
        estimate.bursts.push_back(std::move(burst));
    }
    return estimate;
}
