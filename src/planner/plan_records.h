#pragma once
// The plan, a compare and the failure table as records for scripts and
// spreadsheets: one record per site and role, per server (the Parent clients
// that end on it, its probes per hour, the largest first minute one site
// sends it), per finding, per backup, per move and per server's gain and
// loss. The records carry the facts of the model that the text words, and csv
// and json print the same records.

#include <string>
#include <string_view>
#include <vector>

#include "planner/load_estimate.h"
#include "planner/plan_compare.h"

struct Field {
    const char* name;  // one of kRecordColumns
    std::string value;
    bool number;       // written without quotes in json
};

struct Record {
    const char* kind;  // "walk", "server", "finding", "summary", "move", "shift", ...
    std::vector<Field> fields;
};

// Every column a record can fill, in the order csv writes them.
extern const char* const kRecordColumns[];
extern const size_t kRecordColumnCount;

// Every kind of record keeps to the site and role filter shows: the servers
// by what the walks shown send them, the findings about them, the backups
// of the site.
std::vector<Record> PlanRecords(const Plan& plan, const WalkFilter& filter, bool summaryOnly);

struct CompareView {
    const Plan& before;
    const Plan& after;
    const PlanCompare& compare;
    const std::string& summary;
    const char* readAs;  // how NEW was read, null for a plan with servers down
    const WalkFilter& filter;
};
std::vector<Record> CompareRecords(const CompareView& view, bool summaryOnly);
// The failure table is filtered as it is planned.
std::vector<Record> FailureRecords(const FailureTable& failures, bool summaryOnly);

// One header line of all columns, then one line per record; fields that hold
// a comma, a quote or a line end are quoted, quotes doubled. UTF-8.
void PrintCsv(const std::vector<Record>& records);
// {"records":[{"record":KIND,FIELD:VALUE,...},...]}, UTF-8.
void PrintJson(const std::vector<Record>& records);
