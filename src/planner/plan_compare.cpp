#include "planner/plan_compare.h"

#include <algorithm>
#include <map>

#include "engine/role_table.h"
#include "planner/plan_text.h"

namespace {


bool PlanWalks(const ListTree& tree, const SiteTable& table, size_t* levelsLeft,
               std::vector<PlannedWalk>* walks) {
    for (const Site& site : table.sites) {
        for (const RoleEntry& role : kRoleTable) {
            PlannedWalk walk;
            if (!PlanWalk(tree, table, site, role.word, levelsLeft, &walk)) continue;
            if (walk.tooLarge) return false;
            walks->push_back(std::move(walk));
        }
    }
    SpreadOverGroups(table, walks);
    return true;
}

std::string WalkKey(const PlannedWalk& walk) {
    return NameKey(walk.site->name) + '\n' + walk.role;
}

std::string FindingKey(const Finding& finding) {
    return Concat({finding.severity == Severity::Problem ? "p" : "n", "\n", finding.place, "\n",
                   finding.reason});
}

// Per server (by NameKey) the machines of a walk; the name as first written.
using Tally = std::map<std::string, Share>;

void Count(Tally& tally, const PlannedWalk* walk) {
    if (!walk) return;
    for (const Share& share : MachinesOn(*walk)) {
        auto [entry, isNew] = tally.try_emplace(NameKey(share.server), Share{share.server, 0});
        entry->second.machines += share.machines;
    }
}

class Shifts {
public:
    void Add(const PlannedWalk* before, const PlannedWalk* after, uint32_t* moved) {
        Tally old, now;
        Count(old, before);
        Count(now, after);
        const char* role = before ? before->role : after->role;
        *moved = 0;
        for (const auto& [key, share] : old) {
            auto found = now.find(key);
            uint32_t stays = found == now.end() ? 0 : std::min(found->second.machines, share.machines);
            if (share.machines > stays) Of(share.server, role).lost += share.machines - stays;
            *moved += share.machines - stays;
        }
        for (const auto& [key, share] : now) {
            auto found = old.find(key);
            uint32_t stays = found == old.end() ? 0 : std::min(found->second.machines, share.machines);
            if (share.machines > stays) Of(share.server, role).gained += share.machines - stays;
        }
    }
    std::vector<ServerShift> Sorted() const {
        std::vector<ServerShift> sorted;
        for (const auto& [key, shift] : shifts_) sorted.push_back(shift);
        std::stable_sort(sorted.begin(), sorted.end(),
                         [](const ServerShift& a, const ServerShift& b) { return a.Net() > b.Net(); });
        return sorted;
    }

private:
    ServerShift& Of(const std::string& server, const char* role) {
        auto [entry, isNew] = shifts_.try_emplace(NameKey(server) + '\n' + role);
        if (isNew) {
            entry->second.server = server;
            entry->second.role = role;
        }
        return entry->second;
    }
    // Keyed by server and role, so the order of equal nets is the names' order.
    std::map<std::string, ServerShift> shifts_;
};

// The moves and shifts from one set of walks to another, matched by site and role.
void CompareWalks(const std::vector<PlannedWalk>& before, const std::vector<PlannedWalk>& after,
                  const WalkFilter& filter, std::vector<Move>* moves,
                  std::vector<ServerShift>* servers) {
    std::map<std::string, const PlannedWalk*> later;
    for (const PlannedWalk& walk : after)
        if (filter.Shows(walk)) later[WalkKey(walk)] = &walk;
    Shifts shifts;
    auto add = [&](const PlannedWalk* old, const PlannedWalk* now) {
        uint32_t moved = 0;
        shifts.Add(old, now, &moved);
        if (moved) moves->push_back({old, now, moved});
    };
    for (const PlannedWalk& walk : before) {
        if (!filter.Shows(walk)) continue;
        auto found = later.find(WalkKey(walk));
        add(&walk, found == later.end() ? nullptr : found->second);
        if (found != later.end()) later.erase(found);
    }
    for (const PlannedWalk& walk : after)
        if (filter.Shows(walk) && later.count(WalkKey(walk))) add(nullptr, &walk);
    *servers = shifts.Sorted();
}

std::vector<const Finding*> Missing(const ListCheck& from, const ListCheck& in) {
    std::map<std::string, size_t> present;
    for (const Finding& finding : in.findings) ++present[FindingKey(finding)];
    std::vector<const Finding*> missing;
    for (const Finding& finding : from.findings) {
        size_t& count = present[FindingKey(finding)];
        if (count)
            --count;
        else
            missing.push_back(&finding);
    }
    return missing;
}

// The machines of a walk that pass through or end on each server; every
// server the walk meets gets a row, even one that carries nothing.
void AddCarried(const PlannedWalk& walk, std::map<std::string, FailureRow>& rows,
                std::vector<std::string>& order) {
    auto row = [&](const std::string& server) -> FailureRow& {
        auto [entry, isNew] = rows.try_emplace(NameKey(server));
        if (isNew) {
            entry->second.server = server;
            order.push_back(NameKey(server));
        }
        return entry->second;
    };
    auto carry = [&](const std::string& server, uint32_t machines) {
        if (server.empty() || machines == 0) return;
        std::vector<FailureRow::Carried>& carries = row(server).carries;
        if (!carries.empty() && carries.back().walk == &walk)
            carries.back().machines += machines;
        else
            carries.push_back({&walk, machines});
    };
    for (const PlannedLevel& level : walk.levels) {
        for (const PlannedServer& server : level.servers) row(server.name);
        if (level.best >= 0 && !level.finalLevel)
            carry(level.servers[static_cast<size_t>(level.best)].name, walk.site->machines);
    }
    for (const Share& share : MachinesOn(walk)) carry(share.server, share.machines);
}

}  // namespace

bool MakePlan(const ListTree& tree, const SiteTable& table, bool withCheck, Plan* plan) {
    plan->table = table;
    size_t levelsLeft = kMostPlannedLevels;
    if (!PlanWalks(tree, plan->table, &levelsLeft, &plan->walks)) return false;
    if (withCheck) plan->check = CheckLists(tree, plan->table, plan->walks);
    return true;
}

SiteTable WithServersDown(const SiteTable& table, const std::vector<std::string>& down) {
    SiteTable failed = table;
    for (Site& site : failed.sites)
        for (const std::string& server : down) site.latencies[NameKey(server)] = SiteLatency{0, true};
    return failed;
}

std::vector<Share> MachinesOn(const PlannedWalk& walk) {
    if (!walk.shares.empty()) return walk.shares;
    uint32_t machines = walk.site->machines;
    if (!walk.candidates.empty()) {
        std::vector<Share> even;
        uint32_t count = static_cast<uint32_t>(walk.candidates.size());
        for (uint32_t i = 0; i < count; ++i)
            even.push_back({walk.candidates[i], machines / count + (i < machines % count ? 1 : 0)});
        return even;
    }
    return {{walk.winner, machines}};
}

bool PlanCompare::NewProblem() const {
    for (const Finding* finding : added)
        if (finding->severity == Severity::Problem) return true;
    return false;
}

bool WalkFilter::Shows(const PlannedWalk& walk) const {
    return (site.empty() || NameKey(walk.site->name) == site) &&
           (role.empty() || role == walk.role);
}

PlanCompare ComparePlans(const Plan& before, const Plan& after, const WalkFilter& filter) {
    PlanCompare compare;
    CompareWalks(before.walks, after.walks, filter, &compare.moves, &compare.servers);
    compare.added = Missing(after.check, before.check);
    compare.removed = Missing(before.check, after.check);
    return compare;
}

bool PlanFailures(const ListTree& tree, const Plan& base, const WalkFilter& filter,
                  FailureTable* table) {
    std::map<std::string, FailureRow> rows;
    std::vector<std::string> order;
    for (const PlannedWalk& walk : base.walks)
        if (filter.Shows(walk)) AddCarried(walk, rows, order);
    size_t levels = 0;
    for (const PlannedWalk& walk : base.walks) levels += walk.levels.size();
    if (levels * order.size() > kMostFailureLevels) return false;
    Shifts coverage;
    for (const std::string& key : order) {
        FailureRow& row = rows[key];
        auto plan = std::make_unique<Plan>();
        if (!MakePlan(tree, WithServersDown(base.table, {row.server}), false, plan.get()))
            return false;
        CompareWalks(base.walks, plan->walks, filter, &row.moves, &row.shifts);
        for (const Move& move : row.moves) {
            if (move.after && move.after->EndsOn().empty()) row.leftWithout.push_back(move.after);
            uint32_t ignored = 0;
            coverage.Add(move.before, move.after, &ignored);
        }
        table->plans.push_back(std::move(plan));
        table->rows.push_back(std::move(row));
    }
    // Only what a server takes over counts as coverage, not what the failed one loses.
    for (const ServerShift& shift : coverage.Sorted())
        if (shift.gained && !shift.server.empty())
            table->coverage.push_back({shift.server, shift.role, shift.gained, 0});
    std::stable_sort(table->coverage.begin(), table->coverage.end(),
                     [](const ServerShift& a, const ServerShift& b) { return a.gained > b.gained; });
    return true;
}
