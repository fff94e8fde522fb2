#pragma once
// The plan as text for an administrator: where each site ends up, each walk
// explained, the load, and the check. The facts come from the model
// (plan_walk, load_estimate, list_check); this only words them.

#include <string>
#include <vector>

#include "planner/list_check.h"
#include "planner/plan_compare.h"
#include "planner/load_estimate.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"

// Where a walk's machines end up as one text: a name, the shares of a
// balanced group ("B 70, A 50 of 120"), "one of A, B (random pick)" or
// "no server".
std::string WinnerText(const PlannedWalk& walk);

void PrintSummary(const std::vector<PlannedWalk>& walks);
void PrintWalk(const PlannedWalk& walk, const SiteTable& table);
void PrintLoad(const SiteTable& table, const LoadEstimate& load);
void PrintCheck(const ListCheck& check);

// A compare in one line: "1 site changes Parent, 45 machines move; B +45, A
// -45; 1 new problem", or "nothing changes".
std::string CompareSummary(const PlanCompare& compare);
// title: the first line, which says what is compared.
void PrintCompare(const PlanCompare& compare, const std::string& title);
void PrintFailures(const FailureTable& failures, bool summaryOnly);
