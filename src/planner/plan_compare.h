#pragma once
// What a change does before it is published, and what a failure does before
// it happens: two plans of the same sites side by side, per site and role the
// machines that move, per server the clients it gains and loses, and the
// findings the second plan adds and removes. The facts only; plan_report
// words them.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "planner/list_check.h"
#include "planner/list_tree.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"

// What all walks of one plan may keep: far beyond any real tree at any real
// number of sites.
constexpr size_t kMostPlannedLevels = 200000;
// What the walks planned again for a failure table may take together.
constexpr size_t kMostFailureLevels = 600000;

// One plan of a tree over a table. Its walks point into the table, which all
// plans of a run share, so a plan is made in place and never copied.
struct Plan {
    const SiteTable* table = nullptr;
    DownServers down;  // besides what the table says
    std::vector<PlannedWalk> walks;
    ListCheck check;
    Plan() = default;
    Plan(const Plan&) = delete;
    Plan& operator=(const Plan&) = delete;
};

// Plans every site and role of table over tree, with down unreachable from
// every site; withCheck also checks the lists. Without base, the machines
// of a balanced group join it site by site in the table's order. With base,
// the plan after a change to it: a walk that reaches the same servers as in
// base keeps its machines where they are, and only the machines of the other
// walks search again (PlaceSearchingMachines). False when the walks would be
// too large to keep.
bool MakePlan(const ListTree& tree, const SiteTable& table, const DownServers& down,
              bool withCheck, Plan* plan, const Plan* base = nullptr);

// Whether two walks of one site and role reach the same servers: the same
// winner at every level, and the same servers to end on.
bool SameReach(const PlannedWalk& a, const PlannedWalk& b);

// The machines of searching that join a balanced group, placed on the client
// counts as they stand with the machines of staying where they are: the
// sites whose walks end on the same members spread over them together, each
// site's share of every member in proportion to its machines; groups of
// different members take their turn in the order of their names. Nothing
// depends on the order of the table's rows.
void PlaceSearchingMachines(const SiteTable& table, const std::vector<const PlannedWalk*>& staying,
                            const std::vector<PlannedWalk*>& searching);

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
    std::vector<Move> moves;           // by site name, then role
    std::vector<ServerShift> servers;  // largest net gain first, then largest loss
    std::vector<const Finding*> added;    // problems first, then by line, place and text
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
    std::vector<Carried> carries;  // by site name, then role
    std::vector<Move> moves;
    std::vector<ServerShift> shifts;
    std::vector<const PlannedWalk*> leftWithout;  // walks with no server once it failed
};

// The most one server takes over for a role when another one fails.
struct Coverage {
    std::string server;
    const char* role;
    uint32_t machines;
    std::string whenFails;  // the first failure that brings that many
};

struct FailureTable {
    // The servers the walks meet, in the tree's order: level by level, each
    // list in the order of the lists above it.
    std::vector<FailureRow> rows;
    std::vector<Coverage> coverage;  // the most first
    // The walks of the failed plans that the rows point into: only those
    // that move, so that a table of many sites stays small.
    std::deque<PlannedWalk> walks;
};

// Each server the base plan's walks meet, failed in turn: only the walks
// that meet it are planned again. Only the walks filter shows count. False
// when the walks planned again would be too large to keep.
bool PlanFailures(const ListTree& tree, const Plan& base, const WalkFilter& filter,
                  FailureTable* table);
