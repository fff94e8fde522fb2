#pragma once
// The check of a tree of lists against the sites: names that cannot be
// reached or chosen, lists the program cannot hold or never reads,
// preferences that never or always apply, and "=" groups that are never
// balanced.

#include <string>
#include <vector>

#include "planner/list_tree.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"

struct Finding {
    int line;           // of the tree file, to keep findings in its order
    std::string place;  // "MACHINE ROLE LEVEL", or "line N" for a line that sets nothing
    std::string reason;
};

std::vector<Finding> CheckLists(const ListTree& tree, const SiteTable& table,
                                const std::vector<PlannedWalk>& walks);
void PrintFindings(const std::vector<Finding>& findings);
