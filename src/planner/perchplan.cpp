// perchplan: which server a client at each site would end up with, and why,
// before the lists go live; a check of the lists; and what the clients cost
// the servers. Its choices are made by the search's own walk and rules.

#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/role_table.h"
#include "planner/list_check.h"
#include "planner/list_tree.h"
#include "planner/load_estimate.h"
#include "planner/plan_report.h"
#include "planner/plan_text.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitNotes = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitProblems = 3;
// What all walks of one plan may keep: far beyond any real tree at any real
// number of sites.
constexpr size_t kMostPlannedLevels = 200000;

constexpr char kUsage[] =
    "usage: perchplan TREE SITES\n"
    "\n"
    "Plans where a client at each site ends up for every role whose level-0 list\n"
    "TREE holds, choosing exactly as perchman's search does; checks the lists; and\n"
    "estimates the probes per hour each server receives.\n"
    "\n"
    "TREE   the server lists in the import format, as \"perchman /export FILE\"\n"
    "       writes them: MACHINE ROLE LEVEL LIST per line, <local> for the client\n"
    "       itself. Each line counts as the import would set it; a line the import\n"
    "       refuses sets nothing and is reported. A commented line of a server the\n"
    "       export could not ask marks the tree incomplete below it.\n"
    "SITES  the site table, one item per line, words separated by blanks; \"#\"\n"
    "       starts a comment:\n"
    "         SITE [MACHINES] SERVER=MS|SERVER=down ...\n"
    "             a site, the number of client machines there (default 1), and the\n"
    "             average time in milliseconds each server takes to answer from\n"
    "             there, or down. A server the site does not name counts as down.\n"
    "         clients SERVER=N ...\n"
    "             the ClientCount a server publishes; without one a server's count\n"
    "             is unknown, which makes its \"=\" group a random pick.\n"
    "         SETTING=N ...\n"
    "             the engine settings TimesToAverage (default 7),\n"
    "             CheckForNewParentIntervalInSeconds (30),\n"
    "             CheckParentIntervalInMinutes (120),\n"
    "             FindNearestParentIntervalInMinutes (60), and the switches\n"
    "             RoamClient (1), RoamQuarantine, RoamHPD, RoamKPZ, RoamWDR,\n"
    "             RoamServer, RoamAlerts (0) that say which roles roam; and the\n"
    "             plan's own WithoutAddressWatchingPercent (0), the share of\n"
    "             machines that search on a fixed period because they cannot\n"
    "             watch their addresses, and CloseCallMs (5), the margin under\n"
    "             which a choice is reported as a close call.\n"
    "       For example:\n"
    "         MADRID 120 CENTRAL=14 NORTE=6 SUR=8 ESTE=down\n"
    "         clients SUR=17 NORTE=41\n"
    "         TimesToAverage=7\n"
    "\n"
    "Exit status: 0 when the check found nothing, 1 when it found only notes, 3\n"
    "when it found a problem (a site without a server, a search that repeats for\n"
    "ever, an incomplete tree, a list the import or a server's reply cannot\n"
    "carry), 2 on bad input (only the reason is printed).\n";

bool AsksForHelp(const char* argument) {
    return std::strcmp(argument, "/?") == 0 || std::strcmp(argument, "-h") == 0 ||
           std::strcmp(argument, "--help") == 0;
}

int BadInput(const std::string& reason) {
    // fputs, not fprintf: this compiler's fprintf brings in runtime imports
    // (_lock, _unlock) that are not among those checked for Windows 95 and NT 4.0.
    std::fputs(Concat({"perchplan: ", reason, "\n"}).c_str(), stderr);
    return kExitBadInput;
}

// False when the plan would be too large to keep.
bool PlanAll(const ListTree& tree, const SiteTable& table, std::vector<PlannedWalk>* walks) {
    size_t levelsLeft = kMostPlannedLevels;
    for (const Site& site : table.sites) {
        for (const RoleEntry& role : kRoleTable) {
            PlannedWalk walk;
            if (!PlanWalk(tree, table, site, role.word, &levelsLeft, &walk)) continue;
            if (walk.tooLarge) return false;
            walks->push_back(std::move(walk));
        }
    }
    SpreadOverGroups(table, walks);
    return true;
}

}  // namespace

int Run(int argc, char** argv) {
    if (argc == 2 && AsksForHelp(argv[1])) {
        std::fputs(kUsage, stdout);
        return kExitClean;
    }
    if (argc != 3) {
        std::fputs(kUsage, stderr);
        return kExitBadInput;
    }
    std::string error;
    ListTree tree;
    if (!ReadListTree(argv[1], &tree, &error)) return BadInput(error);
    SiteTable table;
    if (!ReadSiteTable(argv[2], &table, &error)) return BadInput(error);

    std::vector<PlannedWalk> walks;
    if (!PlanAll(tree, table, &walks))
        return BadInput(Concat({argv[1], " and ", argv[2], ": the walks of all sites would "
                                "take more than ", std::to_string(kMostPlannedLevels),
                                " levels"}));
    ListCheck check = CheckLists(tree, table, walks);

    PrintSummary(walks);
    for (const PlannedWalk& walk : walks) {
        Say("%s", "");
        PrintWalk(walk, table);
    }
    Say("%s", "");
    PrintLoad(table, EstimateLoad(table, walks));
    Say("%s", "");
    PrintCheck(check);
    if (check.HasProblems()) return kExitProblems;
    return check.findings.empty() ? kExitClean : kExitNotes;
}

int main(int argc, char** argv) {
    // The files decide how much is kept; running out of memory is bad input
    // too, not a crash.
    try {
        return Run(argc, argv);
    } catch (const std::bad_alloc&) {
        return BadInput("out of memory: the files are too large to plan");
    }
}
