// perchplan: which server a client at each site would end up with, and why,
// before the lists go live; a check of the lists; and what the clients cost
// the servers. Its choices are made by the search's own walk and rules.

#include <cstdio>
#include <cstring>
#include <new>
#include <set>
#include <string>
#include <vector>

#include "engine/role_table.h"
#include "planner/list_check.h"
#include "planner/file_text.h"
#include "planner/list_tree.h"
#include "planner/load_estimate.h"
#include "planner/plan_compare.h"
#include "planner/plan_html.h"
#include "planner/plan_records.h"
#include "planner/plan_report.h"
#include "planner/plan_text.h"
#include "planner/plan_walk.h"
#include "planner/site_row.h"
#include "planner/site_table.h"

namespace {

constexpr int kExitClean = 0;
constexpr int kExitNotes = 1;
constexpr int kExitBadInput = 2;
constexpr int kExitProblems = 3;
constexpr int kExitChanges = 4;

constexpr char kUsage[] =
    "usage: perchplan [OPTIONS] TREE SITES [--down SERVER[,SERVER...] | --failures]\n"
    "       perchplan [OPTIONS] --compare OLD NEW SITES\n"
    "       perchplan --site-row SITE FILE\n"
    "OPTIONS: --format text|csv|json|html  --site SITE  --role ROLE  --summary\n"
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
    "             watch their addresses, CloseCallMs (5), the margin under\n"
    "             which a choice is reported as a close call, and\n"
    "             StartWindowSeconds (0: not shown): the seconds in which a\n"
    "             site's machines all start, for what a balanced group's spread\n"
    "             becomes when each machine reads the client counts\n"
    "             RegistrationDelayMs (3000) before its own record counts.\n"
    "       For example:\n"
    "         MADRID 120 CENTRAL=14 NORTE=6 SUR=8 ESTE=down\n"
    "         clients SUR=17 NORTE=41\n"
    "         TimesToAverage=7\n"
    "\n"
    "Files are UTF-8 (a byte-order mark is skipped) or, when not valid UTF-8,\n"
    "code page 1252. Text is printed in code page 850, csv, json and html in UTF-8.\n"
    "\n"
    "Exit status: 0 when the check found nothing, 1 when it found only notes, 3\n"
    "when it found a problem (a site without a server, a search that repeats for\n"
    "ever, an incomplete tree, a list the import or a server's reply cannot\n"
    "carry), 2 on bad input (only the reason is printed).\n"
    "\n"
    "--compare OLD NEW SITES\n"
    "       what publishing NEW would change: the machines that move per site and\n"
    "       role, the clients each server gains and loses, and the findings NEW adds\n"
    "       and removes. NEW is a whole tree when it names <local>'s level-0 list of\n"
    "       every role, as an export does (\"# <local> ROLE 0\" for a role without\n"
    "       one); otherwise it is an import file, applied over OLD as the import\n"
    "       applies it.\n"
    "--down SERVER[,SERVER...]\n"
    "       the plan with those servers unreachable from every site, as a compare\n"
    "       against the plan without them.\n"
    "       Exit status of a compare: 0 nothing changes, 4 changes and no new\n"
    "       problem, 3 a new problem, 2 bad input.\n"
    "--failures\n"
    "       each server the walks meet failed in turn: what it carries, where its\n"
    "       machines go, the sites it leaves without a server, and the most each\n"
    "       server takes over in one failure. Exit status 3 when one failure leaves\n"
    "       a site without a server for a role, 0 otherwise, 2 on bad input.\n"
    "--format text|csv|json|html\n"
    "       text for a reader (the default); csv and json for scripts, the same facts\n"
    "       as records: one per site and role, per server, per finding, per move;\n"
    "       html a page of the plan or the compare, each role's tree drawn.\n"
    "--site SITE, --role ROLE\n"
    "       only the walks and moves of that site or role; in csv and json, only\n"
    "       the records of every kind about them.\n"
    "--summary\n"
    "       only the summary: where each site ends up, or the compare's line.\n"
    "--site-row SITE FILE\n"
    "       the site's row of the table from what \"perchman /time_network\" printed\n"
    "       on a machine there (FILE): per server the median of the passes'\n"
    "       averages, down when no sample answered. A probe is a read through the\n"
    "       product library, not a ping: ping times would mislead the plan.\n";

bool AsksForHelp(const char* argument) {
    return std::strcmp(argument, "/?") == 0 || std::strcmp(argument, "-h") == 0 ||
           std::strcmp(argument, "--help") == 0;
}

int BadInput(const std::string& reason) {
    // fputs, not fprintf: this compiler's fprintf brings in runtime imports
    // (_lock, _unlock) that are not among those checked for Windows 95 and NT 4.0.
    std::fputs(Cp850FromAnsi(Concat({"perchplan: ", reason, "\n"})).c_str(), stderr);
    return kExitBadInput;
}

std::string TooLarge(const std::string& files) {
    return Concat({files, ": the walks of all sites would take more than ",
                   std::to_string(kMostPlannedLevels), " levels"});
}

int CompareExit(const PlanCompare& compare) {
    if (compare.NewProblem()) return kExitProblems;
    return compare.Changes() ? kExitChanges : kExitClean;
}

// How NEW was read: the compare's first words, and the records' word.
struct NewRead {
    std::string text;
    const char* kind = nullptr;
};

// OLD, and NEW as a whole tree or applied over OLD.
bool ReadTrees(const char* oldPath, const char* newPath, ListTree* before, ListTree* after,
               NewRead* howRead, std::string* error) {
    if (!ReadListTree(oldPath, before, error)) return false;
    if (!ReadListTree(newPath, after, error)) return false;
    if (const char* missing = after->MissingLocalRole()) {
        howRead->text = Concat({"NEW read as an import file over OLD (it does not name "
                                "<local>'s level-0 list of ",
                                missing, ")"});
        howRead->kind = "import file";
        *after = *before;
        return ReadListTree(newPath, after, error);
    }
    howRead->text = "NEW read as a whole tree (it names <local>'s level-0 list of every role)";
    howRead->kind = "whole tree";
    return true;
}

// The servers of a "--down" argument, each met by some walk: a name no walk
// meets would change nothing and hide a typing error.
bool ReadDown(const std::string& argument, const Plan& plan, DownServers* down,
              std::string* error) {
    std::set<std::string> met;
    for (const PlannedWalk& walk : plan.walks)
        for (const PlannedLevel& level : walk.levels)
            for (const PlannedServer& server : level.servers) met.insert(NameKey(server.name));
    size_t start = 0;
    while (true) {
        size_t comma = argument.find(',', start);
        std::string name = argument.substr(start, comma == std::string::npos ? comma : comma - start);
        if (name.empty()) {
            *error = Concat({"--down ", argument, ": an empty server name"});
            return false;
        }
        if (!met.count(NameKey(name))) {
            *error = Concat({"--down ", argument, ": no site's walk meets ", Quoted(name)});
            return false;
        }
        down->insert(NameKey(name));
        if (comma == std::string::npos) return true;
        start = comma + 1;
    }
}

enum class Format { Text, Csv, Json, Html };

struct Options {
    std::vector<const char*> files;
    bool compare = false;
    const char* down = nullptr;
    bool failures = false;
    Format format = Format::Text;
    const char* site = nullptr;
    const char* role = nullptr;
    bool summary = false;
};

bool ReadFormat(std::string_view word, Format* format) {
    if (word == "text") *format = Format::Text;
    else if (word == "csv") *format = Format::Csv;
    else if (word == "json") *format = Format::Json;
    else if (word == "html") *format = Format::Html;
    else return false;
    return true;
}

// False for anything the usage does not allow, with the reason.
bool ReadOptions(int argc, char** argv, Options* options, std::string* reason) {
    auto fail = [&](const std::string& why) {
        *reason = why;
        return false;
    };
    for (int i = 1; i < argc; ++i) {
        std::string_view argument = argv[i];
        bool hasValue = i + 1 < argc;
        bool valued = argument == "--down" || argument == "--format" || argument == "--site" ||
                      argument == "--role";
        if (valued && !hasValue)
            return fail(Concat({argument, " needs a value"}));
        if (argument == "--compare") {
            if (options->compare) return fail("--compare is given twice");
            options->compare = true;
        } else if (argument == "--down") {
            if (options->down) return fail("--down is given twice: list the servers as A,B");
            options->down = argv[++i];
        } else if (argument == "--failures") {
            if (options->failures) return fail("--failures is given twice");
            options->failures = true;
        } else if (argument == "--format") {
            if (!ReadFormat(argv[++i], &options->format))
                return fail(Concat({"--format ", argv[i], ": expected text, csv, json or html"}));
        } else if (argument == "--site") {
            if (options->site) return fail("--site is given twice");
            options->site = argv[++i];
        } else if (argument == "--role") {
            if (options->role) return fail("--role is given twice");
            options->role = argv[++i];
        } else if (argument == "--summary") {
            options->summary = true;
        } else if (argument == "--site-row") {
            return fail("--site-row takes a SITE and a FILE and nothing else");
        } else if (argument.substr(0, 2) == "--") {
            return fail(Concat({"unknown option ", argument}));
        } else {
            options->files.push_back(argv[i]);
        }
    }
    if (options->compare + (options->down != nullptr) + options->failures > 1)
        return fail("--compare, --down and --failures do not go together: one at a time");
    // The page draws a plan or a compare; the failure table is a table.
    if (options->format == Format::Html && options->failures)
        return fail("--format html draws a plan or a compare, not the failure table");
    if (options->format == Format::Html && options->summary)
        return fail("--format html has no summary of its own: leave out --summary");
    size_t files = options->files.size();
    if (options->compare && files != 3)
        return fail(Concat({"--compare takes OLD NEW SITES, not ", std::to_string(files),
                            files == 1 ? " file" : " files"}));
    if (!options->compare && files != 2)
        return fail(Concat({"expected TREE SITES, not ", std::to_string(files),
                            files == 1 ? " file" : " files"}));
    return true;
}

// The site and role of "--site" and "--role", each one the plan knows.
bool ReadFilter(const Options& options, const SiteTable& table, WalkFilter* filter,
                std::string* error) {
    if (options.role) {
        const RoleEntry* role = FindRole(options.role);
        if (!role) {
            *error = Concat({"--role ", options.role, ": not a role (Parent, Quarantine, HPD, "
                             "KPZ, WDR, Primary, Alerts)"});
            return false;
        }
        filter->role = role->word;
    }
    if (options.site) {
        filter->site = NameKey(options.site);
        bool known = false;
        for (const Site& site : table.sites) known = known || NameKey(site.name) == filter->site;
        if (!known) {
            *error = Concat({"--site ", options.site, ": the site table names no such site"});
            return false;
        }
    }
    return true;
}

void PrintRecords(Format format, const std::vector<Record>& records) {
    if (format == Format::Csv)
        PrintCsv(records);
    else
        PrintJson(records);
}

// howRead: none for a plan with servers down.
int ShowCompare(const Options& options, const Plan& before, const Plan& after,
                const WalkFilter& filter, const NewRead& howRead) {
    PlanCompare compare = ComparePlans(before, after, filter);
    std::string summary = CompareSummary(compare);
    if (options.format == Format::Html) {
        PrintCompareHtml(after, compare, howRead.text, summary, filter);
    } else if (options.format != Format::Text) {
        PrintRecords(options.format,
                     CompareRecords({before, after, compare, summary, howRead.kind, filter},
                                    options.summary));
    } else if (options.summary) {
        Say("%s", summary.c_str());
    } else {
        PrintCompare(compare,
                     howRead.text.empty() ? "What changes" : "What changes: " + howRead.text);
    }
    return CompareExit(compare);
}

int ShowPlan(const Options& options, const Plan& plan, const WalkFilter& filter) {
    const SiteTable& table = *plan.table;
    LoadEstimate load = EstimateLoad(table, plan.walks);
    if (options.format == Format::Html) {
        PrintPlanHtml(plan, load, filter);
    } else if (options.format != Format::Text) {
        PrintRecords(options.format, PlanRecords(plan, filter, options.summary));
    } else {
        std::vector<PlannedWalk> shown;
        for (const PlannedWalk& walk : plan.walks)
            if (filter.Shows(walk)) shown.push_back(walk);
        PrintSummary(shown);
        if (!options.summary) {
            for (const PlannedWalk& walk : shown) {
                Say("%s", "");
                PrintWalk(walk, table);
            }
            Say("%s", "");
            PrintLoad(table, load);
            Say("%s", "");
            PrintCheck(plan.check);
        }
    }
    if (plan.check.HasProblems()) return kExitProblems;
    return plan.check.findings.empty() ? kExitClean : kExitNotes;
}

int Plans(const Options& options) {
    const char* treePath = options.files[0];
    const char* newPath = options.compare ? options.files[1] : nullptr;
    const char* sitesPath = options.files.back();
    std::string error;
    NewRead howRead;
    ListTree tree, after;
    if (newPath ? !ReadTrees(treePath, newPath, &tree, &after, &howRead, &error)
                : !ReadListTree(treePath, &tree, &error))
        return BadInput(error);
    SiteTable table;
    if (!ReadSiteTable(sitesPath, &table, &error)) return BadInput(error);
    WalkFilter filter;
    if (!ReadFilter(options, table, &filter, &error)) return BadInput(error);
    const std::string files = Concat({treePath, " and ", sitesPath});
    Plan plan;
    if (!MakePlan(tree, table, {}, !options.failures, &plan)) return BadInput(TooLarge(files));

    if (newPath) {
        Plan changed;
        if (!MakePlan(after, table, {}, true, &changed, &plan))
            return BadInput(TooLarge(Concat({newPath, " and ", sitesPath})));
        return ShowCompare(options, plan, changed, filter, howRead);
    }
    if (options.down) {
        DownServers down;
        if (!ReadDown(options.down, plan, &down, &error)) return BadInput(error);
        Plan failed;
        if (!MakePlan(tree, table, down, true, &failed, &plan)) return BadInput(TooLarge(files));
        return ShowCompare(options, plan, failed, filter, {});
    }
    if (options.failures) {
        FailureTable failures;
        if (!PlanFailures(tree, plan, filter, &failures))
            return BadInput(Concat({files, ": the failure table would plan more levels again than ",
                                    std::to_string(kMostFailureLevels),
                                    " (the walks that meet each server, over all servers)"}));
        if (options.format != Format::Text)
            PrintRecords(options.format, FailureRecords(failures, options.summary));
        else
            PrintFailures(failures, options.summary);
        for (const FailureRow& row : failures.rows)
            if (!row.leftWithout.empty()) return kExitProblems;
        return kExitClean;
    }
    return ShowPlan(options, plan, filter);
}

}  // namespace

int Run(int argc, char** argv) {
    if (argc == 2 && AsksForHelp(argv[1])) {
        std::fputs(kUsage, stdout);
        return kExitClean;
    }
    if (argc == 4 && std::strcmp(argv[1], "--site-row") == 0) {
        std::string row, error;
        if (!MakeSiteRow(argv[2], argv[3], &row, &error)) return BadInput(error);
        std::fputs((row + "\n").c_str(), stdout);
        return kExitClean;
    }
    if (argc == 1) {
        std::fputs(kUsage, stderr);
        return kExitBadInput;
    }
    Options options;
    std::string reason;
    if (!ReadOptions(argc, argv, &options, &reason))
        return BadInput(Concat({reason, " (perchplan --help shows the usage)"}));
    return Plans(options);
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
