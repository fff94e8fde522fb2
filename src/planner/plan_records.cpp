#include "planner/plan_records.h"

#include <algorithm>
#include <cstdio>
#include <set>

#include "planner/file_text.h"

#include "planner/plan_report.h"
#include "planner/plan_text.h"

const char* const kRecordColumns[] = {
    "record", "site",   "role",    "machines", "server", "winner",   "margin_ms",
    "uncertain", "failed", "before", "after", "gained", "lost", "clients", "probes_per_hour",
    "burst_at_start", "burst_after_move", "change", "severity", "place", "text", "rule",
    "read_as"};
const size_t kRecordColumnCount = sizeof kRecordColumns / sizeof kRecordColumns[0];

namespace {

Field Text(const char* name, std::string value) { return {name, std::move(value), false}; }
Field Number(const char* name, uint64_t value) { return {name, std::to_string(value), true}; }
Field Decimal(const char* name, double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", value);
    return {name, text, true};
}

// The smallest margin of the walk's levels, the one jitter turns first.
const Margin* Closest(const PlannedWalk& walk) {
    const Margin* closest = nullptr;
    for (const PlannedLevel& level : walk.levels)
        for (const Margin* margin : {&level.runnerUp, &level.limit})
            if (margin->present && (!closest || margin->Ms() < closest->Ms())) closest = margin;
    return closest;
}

std::vector<Field> WalkFields(const PlannedWalk& walk) {
    return {Text("site", walk.site->name), Text("role", walk.role)};
}

std::string WalkText(const PlannedWalk* walk) { return walk ? WinnerText(*walk) : "no list"; }

// The lists the walks filter shows read, by TreeKey, with those below them
// the export could not read: the lists a view of one site is about.
void AddListsRead(const std::vector<PlannedWalk>& walks, const WalkFilter& filter,
                  std::set<std::string>& read) {
    for (const PlannedWalk& walk : walks) {
        if (!filter.Shows(walk)) continue;
        for (const PlannedLevel& level : walk.levels) {
            read.insert(TreeKey(level.owner, walk.role, std::to_string(level.level - 1)));
            if (const TreeGap* gap = level.gapBelow)
                read.insert(TreeKey(gap->server, gap->role, gap->level));
        }
    }
}

bool ShowsFinding(const Finding& finding, const WalkFilter& filter,
                  const std::set<std::string>& read) {
    if (!filter.role.empty() && !finding.role.empty() && finding.role != filter.role)
        return false;
    if (filter.site.empty()) return true;
    if (!finding.site.empty()) return NameKey(finding.site) == filter.site;
    return !finding.list.empty() && read.count(finding.list);
}

void AddFinding(std::vector<Record>& records, const Finding& finding, const char* change) {
    Record record{"finding", {}};
    if (!finding.site.empty()) record.fields.push_back(Text("site", finding.site));
    if (!finding.role.empty()) record.fields.push_back(Text("role", finding.role));
    if (change) record.fields.push_back(Text("change", change));
    record.fields.push_back(
        Text("severity", finding.severity == Severity::Problem ? "problem" : "note"));
    record.fields.push_back(Text("place", finding.place));
    record.fields.push_back(Text("text", finding.reason));
    record.fields.push_back(Text("rule", finding.kind));
    records.push_back(std::move(record));
}

// One record per site and failure that makes the server the choice.
void AddBackups(std::vector<Record>& records, const ListCheck& check, const WalkFilter& filter) {
    for (const Backup& backup : check.backups) {
        if (!filter.role.empty() && backup.role != filter.role) continue;
        for (const auto& [site, failed] : backup.whenFails) {
            if (!filter.site.empty() && NameKey(site) != filter.site) continue;
            records.push_back({"backup",
                               {Text("site", site), Text("role", backup.role),
                                Text("server", backup.server), Text("failed", failed),
                                Text("place", backup.place)}});
        }
    }
}

void AddShifts(std::vector<Record>& records, const std::vector<ServerShift>& shifts,
               const std::string& failed) {
    for (const ServerShift& shift : shifts) {
        if (!shift.gained && !shift.lost) continue;
        Record record{"shift", {}};
        if (!failed.empty()) record.fields.push_back(Text("failed", failed));
        record.fields.push_back(Text("server", shift.server.empty() ? "no server" : shift.server));
        record.fields.push_back(Text("role", shift.role));
        record.fields.push_back(Number("gained", shift.gained));
        record.fields.push_back(Number("lost", shift.lost));
        records.push_back(std::move(record));
    }
}

void AddMoves(std::vector<Record>& records, const std::vector<Move>& moves,
              const std::string& failed) {
    for (const Move& move : moves) {
        Record record{"move", WalkFields(move.before ? *move.before : *move.after)};
        if (!failed.empty()) record.fields.push_back(Text("failed", failed));
        record.fields.push_back(Number("machines", move.machines));
        record.fields.push_back(Text("before", WalkText(move.before)));
        record.fields.push_back(Text("after", WalkText(move.after)));
        records.push_back(std::move(record));
    }
}

std::string CsvField(const std::string& value) {
    if (value.find_first_of(",\"\r\n") == std::string::npos) return value;
    std::string quoted = "\"";
    for (char c : value) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + '"';
}

std::string JsonString(const std::string& value) {
    std::string text = "\"";
    for (unsigned char c : value) {
        if (c == '"' || c == '\\') {
            text += '\\';
            text += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            text += escape;
        } else {
            text += static_cast<char>(c);
        }
    }
    return text + '"';
}

// Records are for scripts: UTF-8, whatever the console's code page.
void Line(const std::string& text) {
    std::fputs(Utf8FromAnsi(text).c_str(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

std::vector<Record> PlanRecords(const Plan& plan, const WalkFilter& filter, bool summaryOnly) {
    std::vector<Record> records;
    std::vector<PlannedWalk> shown;
    for (const PlannedWalk& walk : plan.walks) {
        if (!filter.Shows(walk)) continue;
        shown.push_back(walk);
        Record record{"walk", WalkFields(walk)};
        record.fields.push_back(Number("machines", walk.site->machines));
        record.fields.push_back(Text("winner", WinnerText(walk)));
        if (const Margin* margin = Closest(walk))
            record.fields.push_back(Number("margin_ms", margin->Ms()));
        record.fields.push_back(Text("uncertain", walk.Uncertain() ? "yes" : "no"));
        records.push_back(std::move(record));
    }
    if (summaryOnly) return records;
    // What the walks shown cost the servers.
    LoadEstimate load = EstimateLoad(*plan.table, shown);
    for (const ServerLoad& server : load.hourly) {
        uint32_t clients = 0;
        for (const PlannedWalk& walk : shown)
            if (std::string_view(walk.role) == "Parent")
                for (const Share& share : MachinesOn(walk))
                    if (NameKey(share.server) == NameKey(server.name)) clients += share.machines;
        // The largest first minute one site sends it.
        double atStart = 0, afterMove = 0;
        for (const SiteBurst& burst : load.bursts)
            for (const SiteBurst::Server& probes : burst.servers)
                if (NameKey(probes.name) == NameKey(server.name)) {
                    atStart = std::max(atStart, probes.atStart);
                    afterMove = std::max(afterMove, probes.afterMove);
                }
        records.push_back({"server",
                           {Text("server", server.name), Number("clients", clients),
                            Decimal("probes_per_hour", server.Total()),
                            Decimal("burst_at_start", atStart),
                            Decimal("burst_after_move", afterMove)}});
    }
    std::set<std::string> read;
    AddListsRead(plan.walks, filter, read);
    for (const Finding& finding : plan.check.findings)
        if (ShowsFinding(finding, filter, read)) AddFinding(records, finding, nullptr);
    AddBackups(records, plan.check, filter);
    return records;
}

std::vector<Record> CompareRecords(const CompareView& view, bool summaryOnly) {
    const PlanCompare& compare = view.compare;
    Record summary{"summary", {Text("text", view.summary)}};
    if (view.readAs) summary.fields.push_back(Text("read_as", view.readAs));
    std::vector<Record> records{std::move(summary)};
    if (summaryOnly) return records;
    AddMoves(records, compare.moves, "");
    AddShifts(records, compare.servers, "");
    std::set<std::string> read;
    AddListsRead(view.before.walks, view.filter, read);
    AddListsRead(view.after.walks, view.filter, read);
    for (const Finding* finding : compare.added)
        if (ShowsFinding(*finding, view.filter, read)) AddFinding(records, *finding, "added");
    for (const Finding* finding : compare.removed)
        if (ShowsFinding(*finding, view.filter, read)) AddFinding(records, *finding, "removed");
    return records;
}

std::vector<Record> FailureRecords(const FailureTable& failures, bool summaryOnly) {
    std::vector<Record> records;
    for (const FailureRow& row : failures.rows) {
        for (const FailureRow::Carried& carried : row.carries) {
            Record record{"carries", {Text("server", row.server)}};
            for (Field& field : WalkFields(*carried.walk)) record.fields.push_back(field);
            record.fields.push_back(Number("machines", carried.machines));
            records.push_back(std::move(record));
        }
        for (const PlannedWalk* walk : row.leftWithout) {
            Record record{"left_without", {Text("failed", row.server)}};
            for (Field& field : WalkFields(*walk)) record.fields.push_back(field);
            records.push_back(std::move(record));
        }
        if (summaryOnly) continue;
        AddMoves(records, row.moves, row.server);
        AddShifts(records, row.shifts, row.server);
    }
    for (const Coverage& coverage : failures.coverage) {
        records.push_back({"coverage",
                           {Text("server", coverage.server), Text("role", coverage.role),
                            Number("gained", coverage.machines),
                            Text("failed", coverage.whenFails)}});
    }
    return records;
}

void PrintCsv(const std::vector<Record>& records) {
    std::string header;
    for (size_t i = 0; i < kRecordColumnCount; ++i)
        header += Concat({i ? "," : "", kRecordColumns[i]});
    Line(header);
    for (const Record& record : records) {
        std::string line = record.kind;
        for (size_t i = 1; i < kRecordColumnCount; ++i) {
            line += ',';
            for (const Field& field : record.fields)
                if (std::string_view(field.name) == kRecordColumns[i]) line += CsvField(field.value);
        }
        Line(line);
    }
}

void PrintJson(const std::vector<Record>& records) {
    Line("{\"records\": [");
    for (size_t r = 0; r < records.size(); ++r) {
        std::string line = Concat({"  {\"record\": ", JsonString(records[r].kind)});
        for (const Field& field : records[r].fields)
            line += Concat({", ", JsonString(field.name), ": ",
                            field.number ? field.value : JsonString(field.value)});
        Line(line + (r + 1 < records.size() ? "}," : "}"));
    }
    Line("]}");
}
