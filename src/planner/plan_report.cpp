#include "planner/plan_report.h"

#include <cstdarg>
#include <map>

#include "engine/nearest.h"
#include "engine/role_table.h"
#include "output/output.h"
#include "planner/file_text.h"
#include "planner/plan_text.h"

namespace {

constexpr unsigned kMsgFastest = 90;
constexpr int kWidestName = 24;

std::string GroupText(const PlannedLevel& level) {
    std::string text;
    for (int i = level.group.first; i <= level.group.last; ++i) {
        if (i > level.group.first) text += '=';
        text += level.servers[static_cast<size_t>(i)].name;
    }
    return text;
}

std::string LatencyText(const PlannedServer& server) {
    switch (server.unreachable) {
    case Unreachable::NotNamed: return "not named";
    case Unreachable::Down: return "down";
    case Unreachable::NoSamples: return "no samples";
    case Unreachable::No: break;
    }
    return std::to_string(server.averageMs) + " ms";
}

std::string LimitText(const PlannedServer& server) {
    if (server.limitMs == NO_LIMIT) return "";
    return Concat({"limit ", std::to_string(server.limitMs), " ms"});
}

// The server whose ">" made the choice pass over record index.
const std::string& PreferredOver(const PlannedLevel& level, size_t index) {
    while (index > 0 && level.servers[index - 1].verdict == ChoiceVerdict::Skipped) --index;
    return level.servers[index > 0 ? index - 1 : 0].name;
}

std::string NotAcceptableText(const PlannedServer& server) {
    switch (server.unreachable) {
    case Unreachable::NotNamed:
        return "not acceptable: the site's row does not name it (unknown, planned as down)";
    case Unreachable::Down: return "not acceptable: no answer";
    case Unreachable::NoSamples: return "not acceptable: TimesToAverage takes no samples";
    case Unreachable::No: break;
    }
    std::string refusal = NameRefusal(server.name);
    if (!refusal.empty()) return Concat({"not acceptable: ", refusal});
    return "not acceptable: over its limit";
}

std::string VerdictText(const PlannedLevel& level, size_t index) {
    const PlannedServer& server = level.servers[index];
    std::string text;
    switch (server.verdict) {
    case ChoiceVerdict::Skipped:
        return Concat({"skipped: ", PreferredOver(level, index),
                       " before it is preferred (\">\") and acceptable"});
    case ChoiceVerdict::NotAcceptable: text = NotAcceptableText(server); break;
    case ChoiceVerdict::NotFaster: text = "acceptable, not faster"; break;
    case ChoiceVerdict::BestSoFar: text = "fastest so far"; break;
    }
    const EqualGroup& group = level.group;
    bool member = group.isGroup && static_cast<int>(index) >= group.first &&
                  static_cast<int>(index) <= group.last;
    if (member && server.acceptable)
        text += server.clientCount == CLIENTS_UNKNOWN
                    ? std::string(", client count unknown")
                    : Concat({", ", std::to_string(server.clientCount),
                              server.clientCount == 1 ? " client" : " clients"});
    return text;
}

void PrintServers(const PlannedLevel& level) {
    int width = 0;
    for (const PlannedServer& server : level.servers)
        if (static_cast<int>(server.name.size()) > width)
            width = static_cast<int>(server.name.size());
    if (width > kWidestName) width = kWidestName;
    for (size_t i = 0; i < level.servers.size(); ++i) {
        const PlannedServer& server = level.servers[i];
        Say("    %-*s  %10s  %-13s  %s", width, server.name.c_str(), LatencyText(server).c_str(),
            LimitText(server).c_str(), VerdictText(level, i).c_str());
    }
}

std::string ProgramLine(unsigned messageId, ...) {
    char line[kTextSize];
    va_list args;
    va_start(args, messageId);
    char format[kTextSize];
    LoadMessage(messageId, format);
    FormatTextV(line, sizeof line, format, args);
    va_end(args);
    // The string table is in code page 850; the plan's text is held in 1252.
    std::string text = AnsiFromCp850(line);
    while (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

// The lines the program itself prints while it chooses (message 90).
void PrintProgramLines(const PlannedLevel& level) {
    for (const PlannedServer& server : level.servers) {
        if (server.verdict != ChoiceVerdict::BestSoFar) continue;
        Say("    %s", ProgramLine(kMsgFastest, server.name.c_str(),
                                  static_cast<int>(server.averageMs)).c_str());
    }
}

void PrintMargins(const PlannedLevel& level, uint32_t closeCallMs) {
    for (const Margin* margin : {&level.runnerUp, &level.limit}) {
        if (!margin->present) continue;
        std::string against =
            margin->other.empty()
                ? Concat({"its limit ", std::to_string(margin->otherMs), " ms"})
                : Concat({margin->other, " ", std::to_string(margin->otherMs), " ms"});
        Say("    margin: %s %u ms against %s: %u ms%s", margin->server.c_str(), margin->serverMs,
            against.c_str(), margin->Ms(),
            margin->Ms() < closeCallMs ? " (a close call: jitter can turn it)" : "");
    }
}

void PrintOutcome(const PlannedLevel& level) {
    if (level.best < 0) {
        if (level.level == 1)
            Say("    nothing acceptable at level 1: no server for this role");
        else
            Say("    nothing acceptable at level %d: %s, the winner of level %d, stands",
                level.level, level.owner.c_str(), level.level - 1);
        return;
    }
    const std::string& best = level.servers[static_cast<size_t>(level.best)].name;
    if (level.gapBelow)
        Say("    the export could not read the list %s publishes for level %d (error %s): "
            "the walk below it is uncertain, planned as if it published none",
            best.c_str(), level.level + 1, level.gapBelow->error.c_str());
    if (!level.finalLevel) {
        Say("    %s wins level %d; its list for level %d follows", best.c_str(), level.level,
            level.level + 1);
        return;
    }
    if (!level.group.isGroup) {
        Say("    %s wins: it publishes no list for level %d", best.c_str(), level.level + 1);
        return;
    }
    std::string group = GroupText(level);
    if (level.randomPick) {
        Say("    %s publishes no list for level %d, so its \"=\" group %s is balanced; a client "
            "count is unknown, so the program draws among its acceptable members",
            best.c_str(), level.level + 1, group.c_str());
        Say("    one search now: %s (the plan's clock is fixed; the program's follows the "
            "calendar)",
            level.servers[static_cast<size_t>(level.winner)].name.c_str());
    } else {
        Say("    %s publishes no list for level %d, so its \"=\" group %s is balanced: the "
            "fewest clients win",
            best.c_str(), level.level + 1, group.c_str());
        Say("    one search now: %s", level.servers[static_cast<size_t>(level.winner)].name.c_str());
    }
}

std::string IntervalText(uint32_t ms) {
    if (ms == 0) return "at every opportunity (counted as once a second)";
    if (ms % 60000 == 0) return Concat({"every ", std::to_string(ms / 60000), " min"});
    return Concat({"every ", std::to_string(ms / 1000), " s"});
}

}  // namespace

std::string WinnerText(const PlannedWalk& walk) {
    std::string text;
    if (!walk.shares.empty()) {
        for (size_t i = 0; i < walk.shares.size(); ++i)
            text += Concat({i ? ", " : "", walk.shares[i].server, " ",
                            std::to_string(walk.shares[i].machines)});
        text += Concat({" of ", std::to_string(walk.site->machines)});
    } else if (!walk.candidates.empty()) {
        text = "one of ";
        for (size_t i = 0; i < walk.candidates.size(); ++i)
            text += Concat({i ? ", " : "", walk.candidates[i]});
        text += " (random pick)";
    } else {
        text = walk.winner.empty() ? "no server" : walk.winner;
    }
    if (const TreeGap* gap = walk.Uncertain())
        text += Concat({" (uncertain: tree incomplete below ", gap->server, ")"});
    return text;
}

void PrintSummary(const std::vector<PlannedWalk>& walks) {
    Say("Where a client at each site ends up");
    if (walks.empty()) Say("  no role has a level-0 list on <local>");
    for (const PlannedWalk& walk : walks)
        Say("  %-16s %-10s %s", walk.site->name.c_str(), walk.role, WinnerText(walk).c_str());
}

void PrintWalk(const PlannedWalk& walk, const SiteTable& table) {
    Say("%s, %s (%u client machine%s)", walk.site->name.c_str(), walk.role,
        walk.site->machines, walk.site->machines == 1 ? "" : "s");
    for (const PlannedLevel& level : walk.levels) {
        Say("  level %d, the list of %s: %s", level.level, level.owner.c_str(),
            level.list.c_str());
        PrintServers(level);
        PrintProgramLines(level);
        PrintMargins(level, table.closeCallMs);
        PrintOutcome(level);
    }
    if (!walk.shares.empty()) {
        Say("  => %s: each machine that joins raises its parent's client count",
            WinnerText(walk).c_str());
        if (table.startWindowSeconds > 0) {
            std::string together;
            for (const Share& share : walk.togetherShares)
                together += Concat({together.empty() ? "" : ", ", share.server, " ",
                                    std::to_string(share.machines)});
            Say("     started within %u s, each machine reading the counts %u ms before its "
                "own record counts: %s; spread of the counts %lld (one by one: %lld)",
                table.startWindowSeconds, table.registrationDelayMs, together.c_str(),
                static_cast<long long>(walk.togetherSpread),
                static_cast<long long>(walk.oneByOneSpread));
        }
    }
    else if (!walk.winner.empty())
        Say("  => %s", WinnerText(walk).c_str());
    else if (walk.searchedAgain)
        Say("  => no server; the engine searches again every %u s until one answers",
            table.engine.CheckForNewParentIntervalMs / 1000);
    else
        Say("  => no server; its last probe failed, so the engine waits for the next reason "
            "to search");
}

void PrintLoad(const SiteTable& table, const LoadEstimate& load) {
    uint32_t machines = 0;
    for (const Site& site : table.sites) machines += site.machines;
    Say("Load on the servers: probes per hour from %u client machine%s", machines,
        machines == 1 ? "" : "s");
    Say("  a search at start, after an address change and after a failed parent check; on a");
    Say("  fixed period (%s, FindNearestParentIntervalInMinutes) only where address",
        IntervalText(table.engine.FindNearestParentIntervalMs).c_str());
    Say("  watching is unavailable (%u %%, WithoutAddressWatchingPercent); %s while a",
        table.withoutAddressWatchingPercent,
        IntervalText(table.engine.CheckForNewParentIntervalMs).c_str());
    Say("  search finds nothing; a parent check %s; %d samples per server and level,",
        IntervalText(table.engine.CheckParentIntervalMs).c_str(), table.timesToAverage);
    Say("  one warm-up per search");
    if (load.hourly.empty()) {
        Say("  no roaming role has a list: no load");
        return;
    }
    Say("  %-24s %14s %14s %14s %14s", "server", "searches", "client counts", "parent checks",
        "total");
    for (const ServerLoad& server : load.hourly)
        Say("  %-24s %14.1f %14.1f %14.1f %14.1f", server.name.c_str(), server.searchProbes,
            server.clientCountReads, server.parentChecks, server.Total());
    Say("%s", "");
    Say("Probes in the first minute when every machine of a site starts at once, or moves there");
    Say("  %-16s %-24s %14s %14s", "site", "server", "at start", "after a move");
    for (const SiteBurst& burst : load.bursts)
        for (const SiteBurst::Server& server : burst.servers)
            Say("  %-16s %-24s %14.1f %14.1f", burst.site->name.c_str(), server.name.c_str(),
                server.atStart, server.afterMove);
}

void PrintCheck(const ListCheck& check) {
    Say("Check of the lists");
    size_t problems = 0;
    for (const Finding& finding : check.findings) {
        bool problem = finding.severity == Severity::Problem;
        problems += problem;
        Say("  %s %s: %s", problem ? "problem" : "note   ", finding.place.c_str(),
            finding.reason.c_str());
    }
    size_t notes = check.findings.size() - problems;
    if (check.findings.empty())
        Say("  nothing found");
    else
        Say("  %u problem%s, %u note%s", static_cast<unsigned>(problems), problems == 1 ? "" : "s",
            static_cast<unsigned>(notes), notes == 1 ? "" : "s");
    for (const Backup& backup : check.backups) {
        std::string when;
        for (size_t i = 0; i < backup.whenFails.size(); ++i)
            when += Concat({i ? ", " : "", "at ", backup.whenFails[i].first, " when ",
                            Quoted(backup.whenFails[i].second), " fails"});
        Say("  backup %s: %s is chosen only when another server fails: %s",
            backup.place.c_str(), Quoted(backup.server).c_str(), when.c_str());
    }
}

namespace {

std::string Counted(size_t count, const char* one, const char* many) {
    return Concat({std::to_string(count), " ", count == 1 ? one : many});
}

std::string ServerText(const std::string& server) { return server.empty() ? "no server" : server; }

// "N sites change ROLE, M machines move; A +x, B -y" per role, roles in the
// table's order.
std::string MovesText(const std::vector<Move>& moves, const std::vector<ServerShift>& shifts) {
    std::string text;
    for (const RoleEntry& role : kRoleTable) {
        size_t sites = 0;
        uint32_t machines = 0;
        for (const Move& move : moves) {
            const PlannedWalk* walk = move.before ? move.before : move.after;
            if (std::string_view(walk->role) != role.word) continue;
            ++sites;
            machines += move.machines;
        }
        if (!sites) continue;
        text += Concat({text.empty() ? "" : "; ", Counted(sites, "site changes ", "sites change "),
                        role.word, ", ", Counted(machines, "machine moves", "machines move")});
        std::string servers;
        for (const ServerShift& shift : shifts) {
            if (std::string_view(shift.role) != role.word || shift.Net() == 0) continue;
            servers += Concat({servers.empty() ? "" : ", ", ServerText(shift.server), " ",
                               shift.Net() > 0 ? "+" : "", std::to_string(shift.Net())});
        }
        if (!servers.empty()) text += "; " + servers;
    }
    return text;
}

void PrintFindings(const char* title, const std::vector<const Finding*>& findings) {
    if (findings.empty()) return;
    Say("%s", "");
    Say("%s", title);
    for (const Finding* finding : findings)
        Say("  %s %s: %s", finding->severity == Severity::Problem ? "problem" : "note   ",
            finding->place.c_str(), finding->reason.c_str());
}

std::string WalkPlace(const PlannedWalk& walk) {
    return Concat({walk.site->name, " ", walk.role});
}

}  // namespace

std::string CompareSummary(const PlanCompare& compare) {
    if (!compare.Changes()) return "nothing changes";
    std::string text = MovesText(compare.moves, compare.servers);
    if (text.empty()) text = "no machine moves";
    size_t added = 0, removed = 0;
    for (const Finding* finding : compare.added) added += finding->severity == Severity::Problem;
    for (const Finding* finding : compare.removed)
        removed += finding->severity == Severity::Problem;
    text += Concat({"; ", added ? Counted(added, "new problem", "new problems") : "no new problem"});
    if (removed) text += Concat({", ", Counted(removed, "problem", "problems"), " gone"});
    return text;
}

void PrintCompare(const PlanCompare& compare, const std::string& title) {
    Say("%s", title.c_str());
    Say("  %s", CompareSummary(compare).c_str());
    if (!compare.moves.empty()) {
        Say("%s", "");
        Say("Machines that move, per site and role: before -> after");
        for (const Move& move : compare.moves) {
            const PlannedWalk* walk = move.before ? move.before : move.after;
            Say("  %-16s %-10s %u: %s -> %s", walk->site->name.c_str(), walk->role, move.machines,
                move.before ? WinnerText(*move.before).c_str() : "no list",
                move.after ? WinnerText(*move.after).c_str() : "no list");
        }
        Say("%s", "");
        Say("Clients each server gains and loses, per role");
        for (const ServerShift& shift : compare.servers) {
            if (!shift.gained && !shift.lost) continue;
            Say("  %-24s %-10s %+7lld  (gains %u, loses %u)", ServerText(shift.server).c_str(),
                shift.role, static_cast<long long>(shift.Net()), shift.gained, shift.lost);
        }
    }
    PrintFindings("Findings the change adds", compare.added);
    PrintFindings("Findings the change removes", compare.removed);
}

void PrintFailures(const FailureTable& failures, bool summaryOnly) {
    Say("If one server fails: each server of the tree in turn, unreachable from every site");
    for (const FailureRow& row : failures.rows) {
        std::string carries;
        for (const FailureRow::Carried& carried : row.carries)
            carries += Concat({carries.empty() ? "" : ", ", WalkPlace(*carried.walk), " ",
                               std::to_string(carried.machines)});
        Say("  %s carries %s", row.server.c_str(), carries.empty() ? "no machine" : carries.c_str());
        if (!summaryOnly) {
            std::string text = MovesText(row.moves, row.shifts);
            Say("    when it fails: %s", text.empty() ? "nothing moves" : text.c_str());
        }
        for (const PlannedWalk* walk : row.leftWithout)
            Say("    problem: %s is left without a server", WalkPlace(*walk).c_str());
    }
    if (summaryOnly) return;
    Say("%s", "");
    Say("What each server takes over when another one fails (machines, the most one failure "
        "brings)");
    if (failures.coverage.empty()) Say("  no server takes over anything");
    for (const Coverage& coverage : failures.coverage)
        Say("  %-24s %-10s %7u  when %s fails", coverage.server.c_str(), coverage.role,
            coverage.machines, coverage.whenFails.c_str());
}
