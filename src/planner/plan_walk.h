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
enum class Unreachable { No, NotNamed, Down, NoSamples };

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

// How close a choice was: the distance between two averages, or between an
// average and a limit, that a change of that many milliseconds would turn.
struct Margin {
    bool present = false;
    std::string server;  // whose average decides
    std::string other;   // the runner-up; empty for a limit
    uint32_t serverMs = 0;
    uint32_t otherMs = 0;  // the runner-up's average, or the limit
    uint32_t Ms() const { return serverMs > otherMs ? serverMs - otherMs : otherMs - serverMs; }
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
    const TreeGap* gapBelow;  // the export could not read the best's next list
    Margin runnerUp;     // the best against the fastest other acceptable server
    Margin limit;        // the closest average to a limit that decides
};

// The machines of a site that end on one member of a balanced group.
struct Share {
    std::string server;
    uint32_t machines;
};

struct PlannedWalk {
    const Site* site;
    const char* role;
    std::vector<PlannedLevel> levels;
    std::string winner;                   // of one search now; "" when nothing was found
    std::vector<std::string> candidates;  // of a random pick: the members it can fall on
    std::vector<Share> shares;            // of a balanced group, largest first
    std::vector<std::string> notNamed;    // servers met that the site's row does not name
    bool searchedAgain;  // nothing found and the last probe answered: the engine retries
    bool tooLarge;       // cut short: the plan ran out of levels
    // Of a balanced group whose site's machines start within the table's
    // start window: where they end, and the spread of the members' counts
    // then and after the one-by-one fill.
    std::vector<Share> togetherShares;
    int64_t togetherSpread = 0;
    int64_t oneByOneSpread = 0;

    // The servers the site's machines end on: the shares, the random pick's
    // members, or the one winner.
    std::vector<std::string> EndsOn() const;
    // A gap of the tree that the walk passes through, null when none.
    const TreeGap* Uncertain() const;
};

// The calendar seconds a plan's random picks read: fixed, so that two plans
// of the same files are the same.
constexpr uint32_t kPlanCalendarSeconds = 0;

// False when the role has no level-0 list in the tree: nothing to walk.
// levelsLeft bounds the levels all walks of a plan may keep; a walk that
// would need more stops short and says so (tooLarge).
// down: servers unreachable from every site besides those the table says.
bool PlanWalk(const ListTree& tree, const SiteTable& table, const Site& site, const char* role,
              size_t* levelsLeft, PlannedWalk* walk, const DownServers* down = nullptr);

// The entries a level's choice ends on, were the record at index to average
// averageMs (SAMPLE_FAILED: no answer; an index past the records changes
// nothing): the best, and withGroup the acceptable members of its "=" group.
std::vector<int> ChosenWith(const PlannedLevel& level, size_t index, uint32_t averageMs,
                            bool withGroup);

// The acceptable members of the final level's balanced group, when the
// client counts decide it; none otherwise.
std::vector<const PlannedServer*> BalancedMembers(const PlannedWalk& walk);

// The counts after machines joined one by one, each on the member with the
// fewest clients (the first in list order on a tie).
std::vector<int64_t> FillLowest(const std::vector<int64_t>& counts, int64_t machines);

// The counts after machines that start evenly spread over windowMs joined:
// each reads the counts at its start and sees only the machines whose record
// counts by then, delayMs after their own start; it joins the member with
// the fewest clients it read (the first in list order on a tie). A window of
// 0 is a start of all at once: none sees another.
std::vector<int64_t> FillTogether(const std::vector<int64_t>& counts, int64_t machines,
                                  uint64_t windowMs, uint64_t delayMs);

// The members that machines joined, largest share first (list order on a tie).
std::vector<Share> SharesOf(const std::vector<const PlannedServer*>& members,
                            const std::vector<int64_t>& joined);

// How a site's machines spread over the balanced groups their walks end in:
// each machine that joins a parent raises its client count, so the next one
// reads it. The sites join in the table's order, each machine on the
// acceptable member with the fewest clients (the first on a tie), starting
// from the table's counts. Only the parent role registers its clients.
void SpreadOverGroups(const SiteTable& table, std::vector<PlannedWalk>* walks);

// Why the search never takes a server of this name (one of more than 127
// characters, or with a character a computer name cannot hold), "" when it may.
std::string NameRefusal(const std::string& name);
// A list as a server's reply carries it to the search: one that does not fit
// loses its last, partial entry.
std::string ListAsReplied(const std::string& published);
