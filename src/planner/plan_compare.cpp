#include "planner/plan_compare.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "engine/nearest.h"
#include "engine/role_table.h"
#include "planner/plan_text.h"

namespace {

bool PlanWalks(const ListTree& tree, const SiteTable& table, const DownServers& down,
               size_t* levelsLeft, std::vector<PlannedWalk>* walks) {
    for (const Site& site : table.sites) {
        for (const RoleEntry& role : kRoleTable) {
            PlannedWalk walk;
            if (!PlanWalk(tree, table, site, role.word, levelsLeft, &walk, &down)) continue;
            if (walk.tooLarge) return false;
            walks->push_back(std::move(walk));
        }
    }
    return true;
}

bool IsParent(const PlannedWalk& walk) { return std::string_view(walk.role) == "Parent"; }

std::string WalkKey(const PlannedWalk& walk) {
    return NameKey(walk.site->name) + '\n' + walk.role;
}

size_t RoleIndex(const char* role) {
    for (size_t i = 0; i < kRoleCount; ++i)
        if (std::strcmp(kRoleTable[i].word, role) == 0) return i;
    return kRoleCount;
}

// By site name, then role: an order the order of the table's rows does not
// decide.
bool WalkBefore(const PlannedWalk& a, const PlannedWalk& b) {
    std::string x = NameKey(a.site->name), y = NameKey(b.site->name);
    if (x != y) return x < y;
    return RoleIndex(a.role) < RoleIndex(b.role);
}

const PlannedWalk& WalkOf(const Move& move) { return move.before ? *move.before : *move.after; }

void SortMoves(std::vector<Move>& moves) {
    std::stable_sort(moves.begin(), moves.end(), [](const Move& a, const Move& b) {
        return WalkBefore(WalkOf(a), WalkOf(b));
    });
}

void SortFindings(std::vector<const Finding*>& findings) {
    std::stable_sort(findings.begin(), findings.end(), [](const Finding* a, const Finding* b) {
        if (a->severity != b->severity) return a->severity == Severity::Problem;
        if (a->line != b->line) return a->line < b->line;
        if (a->place != b->place) return a->place < b->place;
        return a->reason < b->reason;
    });
}

std::string FindingKey(const Finding& finding) {
    return Concat({finding.severity == Severity::Problem ? "p" : "n", "\n", finding.place, "\n",
                   finding.reason});
}

// What a walk reaches: the server it follows at each level, then the
// servers its machines can end on.
std::string ReachKey(const PlannedWalk& walk) {
    std::string key;
    for (const PlannedLevel& level : walk.levels)
        key += Concat({level.best >= 0 ? NameKey(level.servers[static_cast<size_t>(level.best)].name)
                                       : "-",
                       "\n"});
    key += "=>";
    std::vector<const PlannedServer*> members = BalancedMembers(walk);
    for (const PlannedServer* member : members) key += Concat({NameKey(member->name), ","});
    if (members.empty())
        for (const std::string& server : walk.EndsOn()) key += Concat({NameKey(server), ","});
    return key;
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
    SortMoves(*moves);
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
    SortFindings(missing);
    return missing;
}

// After a change: the walks that reach the same servers keep their
// machines where they are; the machines of the others search again.
void KeepOrPlace(const SiteTable& table, const std::vector<PlannedWalk>& before,
                 std::vector<PlannedWalk>& after) {
    std::map<std::string, const PlannedWalk*> earlier;
    for (const PlannedWalk& walk : before) earlier[WalkKey(walk)] = &walk;
    std::vector<const PlannedWalk*> staying;
    std::vector<PlannedWalk*> searching;
    for (PlannedWalk& walk : after) {
        auto found = earlier.find(WalkKey(walk));
        if (found != earlier.end() && SameReach(*found->second, walk)) {
            walk.shares = found->second->shares;
            staying.push_back(&walk);
        } else {
            searching.push_back(&walk);
        }
    }
    PlaceSearchingMachines(table, staying, searching);
}

// Each member's machines split over the walks in proportion to their
// machines: a walk takes its whole part of each member, and what is left of
// its machines goes to the members it falls shortest of; the last walk takes
// what remains, which is exactly its machines.
std::vector<std::vector<int64_t>> SplitInProportion(const std::vector<int64_t>& joined,
                                                    const std::vector<int64_t>& machines) {
    int64_t total = 0;
    for (int64_t own : machines) total += own;
    std::vector<int64_t> left = joined;
    std::vector<std::vector<int64_t>> parts;
    for (size_t w = 0; w < machines.size(); ++w) {
        if (w + 1 == machines.size()) {
            parts.push_back(left);
            break;
        }
        std::vector<int64_t> take(joined.size());
        std::vector<std::pair<int64_t, size_t>> shortfall;  // what it falls short, member
        int64_t placed = 0;
        for (size_t m = 0; m < joined.size(); ++m) {
            int64_t exact = joined[m] * machines[w];
            take[m] = std::min(exact / total, left[m]);
            placed += take[m];
            shortfall.push_back({exact - take[m] * total, m});
        }
        std::stable_sort(shortfall.begin(), shortfall.end(),
                         [](const auto& a, const auto& b) { return a.first > b.first; });
        while (placed < machines[w]) {
            for (const auto& [owed, m] : shortfall) {
                if (placed == machines[w]) break;
                if (take[m] < left[m]) {
                    ++take[m];
                    ++placed;
                }
            }
        }
        for (size_t m = 0; m < joined.size(); ++m) left[m] -= take[m];
        parts.push_back(take);
    }
    return parts;
}

// The servers' order in the tree: level by level, each list in the order of
// the lists above it.
std::map<std::string, size_t> TreeOrder(const ListTree& tree) {
    std::map<std::string, size_t> order;
    for (const TreeList* list : ReachableLists(tree))
        for (const Entry& entry : Entries(list->list))
            order.try_emplace(NameKey(entry.name), order.size());
    return order;
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

// The servers each walk meets, by NameKey: the walks a failure of one of
// them has to plan again.
std::map<std::string, std::vector<size_t>> WalksMeeting(const std::vector<PlannedWalk>& walks) {
    std::map<std::string, std::vector<size_t>> meeting;
    for (size_t w = 0; w < walks.size(); ++w) {
        std::set<std::string> met;
        for (const PlannedLevel& level : walks[w].levels)
            for (const PlannedServer& server : level.servers) met.insert(NameKey(server.name));
        for (const std::string& key : met) meeting[key].push_back(w);
    }
    return meeting;
}

// The failure of one server: the walks that meet it planned again, the
// machines placed, and what moves. The walks that move are kept in kept.
bool PlanOneFailure(const ListTree& tree, const Plan& base, const WalkFilter& filter,
                    const std::vector<size_t>& meeting, size_t* levelsLeft,
                    std::deque<PlannedWalk>& kept, FailureRow& row) {
    const SiteTable& table = *base.table;
    const DownServers down{NameKey(row.server)};
    std::vector<PlannedWalk> again(meeting.size());
    std::vector<bool> planned(base.walks.size(), false);
    for (size_t i = 0; i < meeting.size(); ++i) {
        const PlannedWalk& walk = base.walks[meeting[i]];
        planned[meeting[i]] = true;
        if (!PlanWalk(tree, table, *walk.site, walk.role, levelsLeft, &again[i], &down) ||
            again[i].tooLarge)
            return false;
    }
    std::vector<const PlannedWalk*> staying;
    std::vector<PlannedWalk*> searching;
    for (size_t w = 0; w < base.walks.size(); ++w)
        if (!planned[w]) staying.push_back(&base.walks[w]);
    for (size_t i = 0; i < meeting.size(); ++i) {
        const PlannedWalk& before = base.walks[meeting[i]];
        if (SameReach(before, again[i])) {
            again[i].shares = before.shares;
            staying.push_back(&again[i]);
        } else {
            searching.push_back(&again[i]);
        }
    }
    PlaceSearchingMachines(table, staying, searching);
    Shifts shifts;
    for (size_t i = 0; i < meeting.size(); ++i) {
        const PlannedWalk& before = base.walks[meeting[i]];
        if (!filter.Shows(before)) continue;
        uint32_t moved = 0;
        shifts.Add(&before, &again[i], &moved);
        if (!moved) continue;
        kept.push_back(std::move(again[i]));
        row.moves.push_back({&before, &kept.back(), moved});
    }
    SortMoves(row.moves);
    row.shifts = shifts.Sorted();
    for (const Move& move : row.moves)
        if (move.after->EndsOn().empty()) row.leftWithout.push_back(move.after);
    return true;
}

}  // namespace

bool MakePlan(const ListTree& tree, const SiteTable& table, const DownServers& down,
              bool withCheck, Plan* plan, const Plan* base) {
    plan->table = &table;
    plan->down = down;
    size_t levelsLeft = kMostPlannedLevels;
    if (!PlanWalks(tree, table, down, &levelsLeft, &plan->walks)) return false;
    if (base)
        KeepOrPlace(table, base->walks, plan->walks);
    else
        SpreadOverGroups(table, &plan->walks);
    if (withCheck) plan->check = CheckLists(tree, table, plan->walks, &plan->down);
    return true;
}

bool SameReach(const PlannedWalk& a, const PlannedWalk& b) { return ReachKey(a) == ReachKey(b); }

void PlaceSearchingMachines(const SiteTable& table, const std::vector<const PlannedWalk*>& staying,
                            const std::vector<PlannedWalk*>& searching) {
    // The table's counts, and the machines that joined them through a
    // balanced group and stay: what a machine that searches reads.
    std::map<std::string, int64_t> counts;  // by NameKey
    auto countOf = [&](const std::string& server) -> int64_t& {
        auto [entry, isNew] = counts.try_emplace(NameKey(server), 0);
        if (isNew) entry->second = table.ClientCount(server);
        return entry->second;
    };
    for (const PlannedWalk* walk : staying)
        for (const Share& share : walk->shares) countOf(share.server) += share.machines;

    std::map<std::string, std::vector<PlannedWalk*>> joining;  // by the members' names
    for (PlannedWalk* walk : searching) {
        walk->shares.clear();
        if (!IsParent(*walk) || walk->site->machines == 0) continue;
        std::string members;
        for (const PlannedServer* member : BalancedMembers(*walk))
            members += Concat({NameKey(member->name), "="});
        if (!members.empty()) joining[members].push_back(walk);
    }
    for (auto& [key, walks] : joining) {
        std::stable_sort(walks.begin(), walks.end(),
                         [](const PlannedWalk* a, const PlannedWalk* b) { return WalkBefore(*a, *b); });
        std::vector<const PlannedServer*> members = BalancedMembers(*walks.front());
        std::vector<int64_t> before, machines;
        for (const PlannedServer* member : members) before.push_back(countOf(member->name));
        int64_t total = 0;
        for (const PlannedWalk* walk : walks) {
            machines.push_back(walk->site->machines);
            total += walk->site->machines;
        }
        std::vector<int64_t> after = FillLowest(before, total);
        std::vector<int64_t> joined;
        for (size_t m = 0; m < members.size(); ++m) {
            countOf(members[m]->name) = after[m];
            joined.push_back(after[m] - before[m]);
        }
        std::vector<std::vector<int64_t>> parts = SplitInProportion(joined, machines);
        for (size_t w = 0; w < walks.size(); ++w)
            walks[w]->shares = SharesOf(BalancedMembers(*walks[w]), parts[w]);
    }
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
    std::map<std::string, size_t> inTree = TreeOrder(tree);
    auto rank = [&](const std::string& key) {
        auto found = inTree.find(key);
        return found == inTree.end() ? inTree.size() : found->second;
    };
    std::stable_sort(order.begin(), order.end(), [&](const std::string& a, const std::string& b) {
        return rank(a) != rank(b) ? rank(a) < rank(b) : a < b;
    });
    std::map<std::string, std::vector<size_t>> meeting = WalksMeeting(base.walks);
    std::map<std::string, Coverage> most;  // by server and role
    size_t levelsLeft = kMostFailureLevels;
    for (const std::string& key : order) {
        FailureRow& row = rows[key];
        std::sort(row.carries.begin(), row.carries.end(),
                  [](const FailureRow::Carried& a, const FailureRow::Carried& b) {
                      return WalkBefore(*a.walk, *b.walk);
                  });
        if (!PlanOneFailure(tree, base, filter, meeting[key], &levelsLeft, table->walks, row))
            return false;
        for (const ServerShift& shift : row.shifts) {
            if (!shift.gained || shift.server.empty()) continue;
            auto [entry, isNew] = most.try_emplace(NameKey(shift.server) + '\n' + shift.role,
                                                   Coverage{shift.server, shift.role, 0, ""});
            if (shift.gained > entry->second.machines) {
                entry->second.machines = shift.gained;
                entry->second.whenFails = row.server;
            }
        }
        table->rows.push_back(std::move(row));
    }
    for (const auto& [key, coverage] : most) table->coverage.push_back(coverage);
    std::stable_sort(table->coverage.begin(), table->coverage.end(),
                     [](const Coverage& a, const Coverage& b) { return a.machines > b.machines; });
    return true;
}
