#pragma once
// The plan and the compare as one self-contained page (no script, no file
// from outside): per role the tree drawn as inline SVG, servers by level,
// each site's machines pointing where they end up, servers shaded by the
// probes they receive, and the findings beside the places they concern.

#include "planner/load_estimate.h"
#include "planner/plan_compare.h"

void PrintPlanHtml(const Plan& plan, const LoadEstimate& load, const WalkFilter& filter);
// The new plan drawn, with what moves: the old ends dashed, the new ones bold.
// howRead: how NEW was read, "" for a plan with servers down.
void PrintCompareHtml(const Plan& after, const PlanCompare& compare, const std::string& howRead,
                      const std::string& summary, const WalkFilter& filter);
