#pragma once
// Where a client at a site ends up for one role: the program's own level walk
// over records filled from the site table and the tree instead of probes,
// kept level by level so that the plan can show why each server won.

#include <cstdint>
#include <string>
#include <vector>

#include "engine/nearest_choice.h"
#include "planner/list_tree.h"
#include "planner/site_table.h"

// Why a server could not be chosen, as far as the plan knows it.
enum class Unreachable { No, NotInTable, Down, NoSamples };

struct PlannedServer {
    std::string name;
    uint32_t averageMs;
    uint32_t limitMs;
    char separator;
    int32_t clientCount;  // filled for the members of a balanced "=" group
    bool acceptable;
    Unreachable unreachable;
    ChoiceVerdict verdict;
};

struct PlannedLevel {
    int level;           // of the walk: level 1 reads the level-0 list
    std::string owner;   // the machine whose list this is
    std::string list;    // as read
    std::vector<PlannedServer> servers;
    int best;            // -1: nothing acceptable
    int winner;
    EqualGroup group;    // at the final level
    bool finalLevel;
    bool randomPick;     // a member's client count is unknown
};

struct PlannedWalk {
    const Site* site;
    const char* role;
    std::vector<PlannedLevel> levels;
    std::string winner;                 // "" when nothing was found
    std::vector<std::string> candidates;  // of a random pick: the members it can fall on
    bool searchedAgain;  // nothing found and the last probe answered: the engine retries
    bool tooLarge;       // cut short: the plan ran out of levels
};

// False when the role has no level-0 list in the tree: nothing to walk.
// levelsLeft bounds the levels all walks of a plan may keep; a walk that
// would need more stops short and says so (tooLarge).
bool PlanWalk(const ListTree& tree, const SiteTable& table, const Site& site, const char* role,
              size_t* levelsLeft, PlannedWalk* walk);

// The planned winner as one text: a name, "one of A, B (random pick)" or "no server".
std::string WinnerText(const PlannedWalk& walk);
void PrintWalk(const PlannedWalk& walk, const SiteTable& table);
