#include "planner/plan_records.h"

#include <algorithm>
#include <cstdio>

#include "planner/plan_report.h"
#include "planner/plan_text.h"

const char* const kRecordColumns[] = {
    "record", "site",   "role",    "machines", "server", "winner",   "margin_ms",
    "uncertain", "failed", "before", "after", "gained", "lost", "clients", "probes_per_hour",
    "burst_at_start", "burst_after_move", "change", "severity", "place", "text"};
const size_t kRecordColumnCount = sizeof kRecordColumns / sizeof kRecordColumns[0];

namespace {

// The names and texts are the system's code page 850; json is UTF-8.
constexpr uint16_t kCodePage850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

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

void AddFinding(std::vector<Record>& records, const Finding& finding, const char* change) {
    Record record{"finding", {}};
    if (change) record.fields.push_back(Text("change", change));
    record.fields.push_back(
        Text("severity", finding.severity == Severity::Problem ? "problem" : "note"));
    record.fields.push_back(Text("place", finding.place));
    record.fields.push_back(Text("text", finding.reason));
    records.push_back(std::move(record));
}

bool ShowsMove(const WalkFilter& filter, const Move& move) {
    return filter.Shows(move.before ? *move.before : *move.after);
}

void AddMoves(std::vector<Record>& records, const std::vector<Move>& moves,
              const WalkFilter& filter, const std::string& failed) {
    for (const Move& move : moves) {
        if (!ShowsMove(filter, move)) continue;
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
            text += Utf8FromCodePage850(std::string(1, static_cast<char>(c)));
        }
    }
    return text + '"';
}

void Line(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace

std::string Utf8FromCodePage850(std::string_view text) {
    std::string utf8;
    for (unsigned char c : text) {
        if (c < 0x80) {
            utf8 += static_cast<char>(c);
            continue;
        }
        uint16_t code = kCodePage850[c - 0x80];
        if (code < 0x800) {
            utf8 += static_cast<char>(0xC0 | (code >> 6));
        } else {
            utf8 += static_cast<char>(0xE0 | (code >> 12));
            utf8 += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        }
        utf8 += static_cast<char>(0x80 | (code & 0x3F));
    }
    return utf8;
}

std::vector<Record> PlanRecords(const Plan& plan, const LoadEstimate& load,
                                const WalkFilter& filter, bool summaryOnly) {
    std::vector<Record> records;
    for (const PlannedWalk& walk : plan.walks) {
        if (!filter.Shows(walk)) continue;
        Record record{"walk", WalkFields(walk)};
        record.fields.push_back(Number("machines", walk.site->machines));
        record.fields.push_back(Text("winner", WinnerText(walk)));
        if (const Margin* margin = Closest(walk))
            record.fields.push_back(Number("margin_ms", margin->Ms()));
        record.fields.push_back(Text("uncertain", walk.Uncertain() ? "yes" : "no"));
        records.push_back(std::move(record));
    }
    if (summaryOnly) return records;
    for (const ServerLoad& server : load.hourly) {
        uint32_t clients = 0;
        for (const PlannedWalk& walk : plan.walks)
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
    for (const Finding& finding : plan.check.findings) AddFinding(records, finding, nullptr);
    return records;
}

std::vector<Record> CompareRecords(const PlanCompare& compare, const std::string& summary,
                                   const WalkFilter& filter, bool summaryOnly) {
    std::vector<Record> records{{"summary", {Text("text", summary)}}};
    if (summaryOnly) return records;
    AddMoves(records, compare.moves, filter, "");
    for (const ServerShift& shift : compare.servers) {
        if (!shift.gained && !shift.lost) continue;
        if (!filter.role.empty() && filter.role != shift.role) continue;
        records.push_back({"shift",
                           {Text("server", shift.server.empty() ? "no server" : shift.server),
                            Text("role", shift.role), Number("gained", shift.gained),
                            Number("lost", shift.lost)}});
    }
    for (const Finding* finding : compare.added) AddFinding(records, *finding, "added");
    for (const Finding* finding : compare.removed) AddFinding(records, *finding, "removed");
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
        if (!summaryOnly) AddMoves(records, row.moves, {}, row.server);
    }
    for (const ServerShift& shift : failures.coverage) {
        records.push_back({"coverage",
                           {Text("server", shift.server), Text("role", shift.role),
                            Number("gained", shift.gained)}});
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
