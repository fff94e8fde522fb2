// A plan's walk: the search's own walk and choice, fed from the site table.

#include "planner/plan_walk.h"

#include <ctime>

#include "engine/level_walk.h"
#include "engine/nearest.h"
#include "output/output.h"
#include "planner/plan_text.h"
#include "product/server_registry.h"

namespace {

constexpr unsigned kMsgFastest = 90;
// A server's reply carries a list in a value block after its 16-bit length;
// the search copies no more than that.
constexpr size_t kReplyListSize = product::kListBlockSize - product::kReplyHeaderSize;
// A probe that gets no answer ends the round with a communication failure.
constexpr product::Status kNoAnswer = product::kCommTimeout;
constexpr int kWidestName = 24;

struct WalkContext {
    const ListTree* tree;
    const SiteTable* table;
    const Site* site;
    PlannedWalk* walk;
    size_t* levelsLeft;
    std::string owner = kLocalName;    // whose list the level being measured is
    std::string listRead;              // that list before parsing cuts it up
    std::vector<Unreachable> reasons;  // of its records
};

// The equal-group rule asks for client counts by name alone.
const SiteTable* PlanTable = nullptr;

int32_t TableClientCount(const char* server) { return PlanTable->ClientCount(server); }
uint32_t CalendarSeconds() { return static_cast<uint32_t>(std::time(nullptr)); }
const GroupChoiceSources kTableGroupSources = {TableClientCount, CalendarSeconds};

Unreachable WhyUnreachable(const SiteLatency* latency, int32_t timesToAverage) {
    if (!latency) return Unreachable::NotInTable;
    if (latency->down) return Unreachable::Down;
    if (timesToAverage <= 0) return Unreachable::NoSamples;
    return Unreachable::No;
}

// One sample stands for all: equal samples average to themselves.
MeasuredRound MeasureFromTable(char* list, const char* role, int level, bool firstRound,
                               void* context) {
    WalkContext& c = *static_cast<WalkContext*>(context);
    c.listRead = list;
    // A chain of lists as long as the tree, at every site, could outgrow
    // memory: past the plan's budget a level has no records, which ends the walk.
    if (*c.levelsLeft == 0) {
        c.walk->tooLarge = true;
        c.reasons.clear();
        return MeasuredRound{};
    }
    --*c.levelsLeft;
    int32_t times = c.table->timesToAverage;
    MeasuredRound round = ParseRound(list, times > 0 ? 1 : 0);
    c.reasons.assign(static_cast<size_t>(round.count), Unreachable::No);
    std::string publishedLevel = std::to_string(level);
    for (int i = 0; i < round.count; ++i) {
        TimedServer& server = *round.servers[i];
        const SiteLatency* latency = c.table->Latency(*c.site, server.name);
        Unreachable why = WhyUnreachable(latency, times);
        c.reasons[static_cast<size_t>(i)] = why;
        if (times > 0) {
            server.samples[0] = why == Unreachable::No ? latency->ms : SAMPLE_FAILED;
            server.samplesTaken = 1;
        }
        AverageSamples(server);
        const TreeList* published = c.tree->Find(server.name, role, publishedLevel);
        if (why == Unreachable::No && published) {
            std::string_view reply = std::string_view(published->list).substr(0, kReplyListSize);
            CopyText(server.returnedList, reply);
        }
    }
    // The round's status is the last probe's: the last server's last sample,
    // or without samples the first round's warm-up of the first server.
    int probed = times > 0 ? round.count - 1 : (firstRound ? 0 : -1);
    if (round.status == 0 && probed >= 0 && probed < round.count) {
        Unreachable why = c.reasons[static_cast<size_t>(probed)];
        if (why == Unreachable::NotInTable || why == Unreachable::Down) round.status = kNoAnswer;
    }
    return round;
}

void TellChosen(const MeasuredRound& round, int level, int best, int winner, void* context) {
    WalkContext& c = *static_cast<WalkContext*>(context);
    PlannedLevel planned{level, c.owner, c.listRead, {}, best, winner, {best, best, false},
                         false, false};
    // The choice depends on the records alone: asked again, it tells how it saw each.
    std::vector<ChoiceVerdict> verdicts(static_cast<size_t>(round.count));
    if (round.count > 0) ChooseBestServer(round.servers, round.count, verdicts.data());
    for (int i = 0; i < round.count; ++i) {
        const TimedServer& server = *round.servers[i];
        planned.servers.push_back({server.name, server.averageMs, server.limitMs,
                                   server.separator, server.clientCount, IsAcceptable(server),
                                   c.reasons[static_cast<size_t>(i)],
                                   verdicts[static_cast<size_t>(i)]});
    }
    planned.finalLevel = best >= 0 && !round.servers[best]->returnedList[0];
    if (planned.finalLevel) planned.group = FindEqualGroup(round.servers, round.count, best);
    for (int i = planned.group.first; planned.group.isGroup && i <= planned.group.last; ++i) {
        const PlannedServer& member = planned.servers[static_cast<size_t>(i)];
        if (member.acceptable && member.clientCount == CLIENTS_UNKNOWN) planned.randomPick = true;
    }
    if (best >= 0) c.owner = round.servers[best]->name;
    c.walk->levels.push_back(std::move(planned));
}

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
    case Unreachable::NotInTable: return "no latency";
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
    case Unreachable::NotInTable: return "not acceptable: the site has no latency for it";
    case Unreachable::Down: return "not acceptable: no answer";
    case Unreachable::NoSamples: return "not acceptable: TimesToAverage takes no samples";
    case Unreachable::No: break;
    }
    if (!IsUsableServerName(server.name.c_str()))
        return "not acceptable: a name of 128 or more characters, or with a control character";
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

// The lines the program itself prints while it chooses (message 90).
void PrintProgramLines(const PlannedLevel& level) {
    for (const PlannedServer& server : level.servers) {
        if (server.verdict != ChoiceVerdict::BestSoFar) continue;
        char line[kTextSize];
        FormatMessageId(line, sizeof line, kMsgFastest, server.name.c_str(),
                        static_cast<int>(server.averageMs));
        std::string text(line);
        while (!text.empty() && text.back() == '\n') text.pop_back();
        Say("    %s", text.c_str());
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
    if (level.randomPick)
        Say("    %s publishes no list for level %d, so its \"=\" group %s is balanced; a client "
            "count is unknown, so the program draws among its acceptable members (message 91)",
            best.c_str(), level.level + 1, group.c_str());
    else
        Say("    %s publishes no list for level %d, so its \"=\" group %s is balanced: the "
            "fewest clients win",
            best.c_str(), level.level + 1, group.c_str());
}

}  // namespace

bool PlanWalk(const ListTree& tree, const SiteTable& table, const Site& site, const char* role,
              size_t* levelsLeft, PlannedWalk* walk) {
    const TreeList* local = tree.Find(kLocalName, role, "0");
    // A level-0 list too long for the program's buffer reads as no list at all.
    if (!local || local->list.empty() || local->list.size() >= kListSize) return false;
    *walk = PlannedWalk{&site, role, {}, "", {}, false, false};
    char list[kListSize];
    CopyText(list, local->list);
    WalkContext context{&tree, &table, &site, walk, levelsLeft, kLocalName, {}, {}};
    PlanTable = &table;
    const LevelWalkSources sources = {MeasureFromTable, &kTableGroupSources, TellChosen,
                                      &context};
    char name[kServerNameSize] = "";
    product::Status status = WalkServerLevels(list, role, sources, name);
    walk->winner = name;
    walk->searchedAgain = !name[0] && status == 0;
    const PlannedLevel& last = walk->levels.back();
    if (last.randomPick) {
        for (int i = last.group.first; i <= last.group.last; ++i)
            if (last.servers[static_cast<size_t>(i)].acceptable)
                walk->candidates.push_back(last.servers[static_cast<size_t>(i)].name);
    }
    return true;
}

std::string WinnerText(const PlannedWalk& walk) {
    if (!walk.candidates.empty()) {
        std::string text = "one of ";
        for (size_t i = 0; i < walk.candidates.size(); ++i)
            text += Concat({i ? ", " : "", walk.candidates[i]});
        return text + " (random pick)";
    }
    return walk.winner.empty() ? "no server" : walk.winner;
}

void PrintWalk(const PlannedWalk& walk, const SiteTable& table) {
    Say("%s, %s (%u client machine%s)", walk.site->name.c_str(), walk.role,
        walk.site->machines, walk.site->machines == 1 ? "" : "s");
    for (const PlannedLevel& level : walk.levels) {
        Say("  level %d, the list of %s: %s", level.level, level.owner.c_str(),
            level.list.c_str());
        PrintServers(level);
        PrintProgramLines(level);
        PrintOutcome(level);
    }
    if (!walk.winner.empty())
        Say("  => %s", WinnerText(walk).c_str());
    else if (walk.searchedAgain)
        Say("  => no server; the engine searches again every %u s until one answers",
            table.engine.CheckForNewParentIntervalMs / 1000);
    else
        Say("  => no server; its last probe failed, so the engine waits for the next reason "
            "to search");
}
