#pragma once
// The check of a tree of lists against the sites: sites left without a
// server, searches that repeat for ever, an incomplete tree, lists the
// program cannot hold, names that cannot be reached or chosen, preferences
// that never apply, "=" groups that are never balanced, and close calls.

#include <string>
#include <vector>

#include "planner/list_tree.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"

// A problem leaves machines without a server, costs the servers for ever, or
// makes the plan itself unsure; a note is worth a look.
enum class Severity { Note, Problem };

struct Finding {
    Severity severity;
    const char* kind;   // a short name of the rule that found it
    int line;           // of the tree file (0 for a site's walk), to keep findings in order
    std::string place;  // "MACHINE ROLE LEVEL", "line N", "SITE ROLE" or "SITE"
    std::string reason;
    // What it is about, so that a view of one site or role can pick it: the
    // site ("" for the tree's findings), the role ("" when no one role), and
    // the list (its TreeKey, "" for none).
    std::string site;
    std::string role;
    std::string list;
};

// A server that no site chooses while all answer, but one server's failure
// makes it the choice.
struct Backup {
    std::string place;  // of the list that names it
    std::string role;
    std::string server;
    std::vector<std::pair<std::string, std::string>> whenFails;  // site, failing server
};

struct ListCheck {
    std::vector<Finding> findings;  // problems first, each kind in the tree's order
    std::vector<Backup> backups;
    bool HasProblems() const;
};

// An entry of a list as the search parses it.
struct Entry {
    std::string name;
    char separator;
};
std::vector<Entry> Entries(const std::string& list);

// The lists the walk can read, breadth first: the level-0 lists of this
// machine in the role table's order, then level by level the lists of the
// servers they name, in the order they name them.
std::vector<const TreeList*> ReachableLists(const ListTree& tree);

ListCheck CheckLists(const ListTree& tree, const SiteTable& table,
                     const std::vector<PlannedWalk>& walks, const DownServers* down = nullptr);
