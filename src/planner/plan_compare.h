#pragma once
// What a change does before it is published, and what a failure does before
// it happens: two plans of the same sites side by side, per site and role the
// machines that move, per server the clients it gains and loses, and the
// findings the second plan adds and removes. The facts only; plan_report
// words them.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "planner/list_check.h"
#include "planner/list_tree.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"

// What all walks of one plan may keep: far beyond any real tree at any real
// number of sites.
constexpr size_t kMostPlannedLevels = 200000;
// What all plans of a failure table may keep together.
constexpr size_t kMostFailureLevels = 600000;

// One plan of a tree over a table. Its walks point into table, which it
// keeps, so a plan is made in place and never copied.
struct Plan {
    SiteTable table;
    std::vector<PlannedWalk> walks;
    ListCheck check;
    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
};

// Plans every site and role of table over tree; withCheck also checks the
// lists. False when the walks would be too large to keep.
bool MakePlan(const ListTree& tree, const SiteTable& table, bool withCheck, Plan* plan);

// The table with servers unreachable from every site.
SiteTable WithServersDown(const SiteTable& table, const std::vector<std::string>& down);

// Where a walk's machines end up, server by server: the shares of a balanced
// group, a random pick's members evenly (the remainder on the first ones), or
// the one winner; "" for the machines left without a server.
std::vector<Share> MachinesOn(const PlannedWalk& walk);

// A site and role whose machines end up elsewhere in the second plan.
struct Move {
    const PlannedWalk* before;
    const PlannedWalk* after;
    uint32_t machines;  // that leave a server they were on
};

// What one server gains and loses for one role.
struct ServerShift {
    std::string server;  // "" for no server
    const char* role;
    uint32_t gained = 0;
    uint32_t lost = 0;
    int64_t Net() const { return static_cast<int64_t>(gained) - lost; }
};

struct PlanCompare {
    std::vector<Move> moves;           // in the first plan's order
    std::vector<ServerShift> servers;  // largest net gain first, then largest loss
    std::vector<const Finding*> added;
    std::vector<const Finding*> removed;
    bool Changes() const { return !moves.empty() || !added.empty() || !removed.empty(); }
    bool NewProblem() const;
};

// Which walks a compare and the output show: all, or one site, or one role.
struct WalkFilter {
    std::string site;  // NameKey; "" for all
    std::string role;  // as the role table spells it; "" for all
    bool Shows(const PlannedWalk& walk) const;
};

// Both plans must outlive the compare: it points into them. Sites and roles
// are matched by name; a walk only one plan has moves all its machines.
// Only the walks filter shows count; the findings are the whole plans'.
PlanCompare ComparePlans(const Plan& before, const Plan& after, const WalkFilter& filter = {});

// One server of the tree failed: what it carries, and what then moves.
struct FailureRow {
    std::string server;
    struct Carried {
        const PlannedWalk* walk;
        uint32_t machines;  // whose walk passes through the server or ends on it
    };
    std::vector<Carried> carries;
    std::vector<Move> moves;
    std::vector<ServerShift> shifts;
    std::vector<const PlannedWalk*> leftWithout;  // walks of the failed plan with no server
};

struct FailureTable {
    std::vector<FailureRow> rows;  // the servers in the order the walks meet them
    // Per server and role, the machines it takes over summed over the other
    // servers' failures: the coverage a backup gives.
    std::vector<ServerShift> coverage;
    // The failed plans the rows point into.
    std::vector<std::unique_ptr<Plan>> plans;
};

// Each server the base plan's walks meet, failed in turn; only the walks
// filter shows count. False when the table would be too large to keep.
bool PlanFailures(const ListTree& tree, const Plan& base, const WalkFilter& filter,
                  FailureTable* table);
