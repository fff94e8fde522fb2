// A plan's walk: the search's own walk and choice, fed from the site table.

#include "planner/plan_walk.h"

#include <algorithm>
#include <map>
#include <new>

#include "common/text.h"
#include "planner/plan_text.h"
#include "engine/level_walk.h"
#include "engine/nearest.h"
#include "product/server_registry.h"

namespace {

// A probe that gets no answer ends the round with a communication failure.
constexpr product::Status kNoAnswer = product::kCommTimeout;

struct WalkContext {
    const ListTree* tree;
    const SiteTable* table;
    const DownServers* down;
    const Site* site;
    PlannedWalk* walk;
    size_t* levelsLeft;
    std::string owner = kLocalName;    // whose list the level being measured is
    std::string listRead;              // that list before parsing cuts it up
    std::vector<Unreachable> reasons;  // of its records
    std::vector<const TreeGap*> gaps;  // of its records: their next list is unknown
};

int32_t TableClientCount(const char* server, void* context) {
    return static_cast<WalkContext*>(context)->table->ClientCount(server);
}
uint32_t FixedCalendarSeconds(void*) { return kPlanCalendarSeconds; }
const GroupChoiceSources kTableGroupSources = {TableClientCount, FixedCalendarSeconds};

Unreachable WhyUnreachable(const SiteLatency* latency, int32_t timesToAverage) {
    if (!latency) return Unreachable::NotNamed;
    if (latency->down) return Unreachable::Down;
    if (timesToAverage <= 0) return Unreachable::NoSamples;
    return Unreachable::No;
}

void NoteNotNamed(PlannedWalk& walk, const std::string& server) {
    for (const std::string& name : walk.notNamed)
        if (NameKey(name) == NameKey(server)) return;
    walk.notNamed.push_back(server);
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
        c.gaps.clear();
        return MeasuredRound{};
    }
    --*c.levelsLeft;
    int32_t times = c.table->timesToAverage;
    MeasuredRound round = ParseRound(list, times > 0 ? 1 : 0);
    c.reasons.assign(static_cast<size_t>(round.count), Unreachable::No);
    c.gaps.assign(static_cast<size_t>(round.count), nullptr);
    std::string publishedLevel = std::to_string(level);
    for (int i = 0; i < round.count; ++i) {
        TimedServer& server = *round.servers[i];
        const SiteLatency* latency = c.table->Latency(*c.site, server.name, c.down);
        Unreachable why = WhyUnreachable(latency, times);
        c.reasons[static_cast<size_t>(i)] = why;
        if (why == Unreachable::NotNamed) NoteNotNamed(*c.walk, server.name);
        if (times > 0) {
            server.samples[0] = why == Unreachable::No ? latency->ms : SAMPLE_FAILED;
            server.samplesTaken = 1;
        }
        AverageSamples(server);
        if (why != Unreachable::No) continue;
        c.gaps[static_cast<size_t>(i)] = c.tree->Gap(server.name, role, publishedLevel);
        if (const TreeList* published = c.tree->Find(server.name, role, publishedLevel))
            CopyText(server.returnedList, ListAsReplied(published->list));
    }
    // The round's status is the last probe's: the last server's last sample,
    // or without samples the first round's warm-up of the first server.
    int probed = times > 0 ? round.count - 1 : (firstRound ? 0 : -1);
    if (round.status == 0 && probed >= 0 && probed < round.count) {
        Unreachable why = c.reasons[static_cast<size_t>(probed)];
        if (why == Unreachable::NotNamed || why == Unreachable::Down) round.status = kNoAnswer;
    }
    return round;
}

bool InGroup(const PlannedLevel& level, size_t index) {
    return level.group.isGroup && static_cast<int>(index) >= level.group.first &&
           static_cast<int>(index) <= level.group.last;
}

// The best against the fastest other server the choice considered and
// accepted (outside the best's own group, which the counts decide).
Margin RunnerUp(const PlannedLevel& level) {
    Margin margin;
    if (level.best < 0) return margin;
    const PlannedServer& best = level.servers[static_cast<size_t>(level.best)];
    for (size_t i = 0; i < level.servers.size(); ++i) {
        const PlannedServer& other = level.servers[i];
        if (static_cast<int>(i) == level.best || InGroup(level, i) || !other.acceptable ||
            other.verdict == ChoiceVerdict::Skipped)
            continue;
        if (!margin.present || other.averageMs < margin.otherMs)
            margin = Margin{true, best.name, other.name, best.averageMs, other.averageMs};
    }
    return margin;
}

// The limits that decide: those whose crossing would change where the
// level's machines end up, whichever side of its limit the server is on.
Margin ClosestLimit(const PlannedLevel& level) {
    Margin margin;
    const std::vector<int> now = ChosenWith(level, level.servers.size(), 0, level.finalLevel);
    for (size_t i = 0; i < level.servers.size(); ++i) {
        const PlannedServer& server = level.servers[i];
        if (server.limitMs == NO_LIMIT || server.unreachable != Unreachable::No) continue;
        // Within its limit while its average is at most the limit.
        uint32_t crossed = server.averageMs <= server.limitMs ? server.limitMs + 1 : server.limitMs;
        if (ChosenWith(level, i, crossed, level.finalLevel) == now) continue;
        Margin here{true, server.name, "", server.averageMs, server.limitMs};
        if (!margin.present || here.Ms() < margin.Ms()) margin = here;
    }
    return margin;
}

void TellChosen(const MeasuredRound& round, const ChoiceVerdict* verdicts, int level, int best,
                int winner, void* context) {
    WalkContext& c = *static_cast<WalkContext*>(context);
    if (round.count > 0 && !verdicts) throw std::bad_alloc();
    PlannedLevel planned{level, c.owner, c.listRead, {}, best, winner, {best, best, false},
                         false, false, nullptr, {}, {}};
    for (int i = 0; i < round.count; ++i) {
        const TimedServer& server = *round.servers[i];
        planned.servers.push_back({server.name, server.averageMs, server.limitMs,
                                   server.separator, server.clientCount, IsAcceptable(server),
                                   c.reasons[static_cast<size_t>(i)], verdicts[i]});
    }
    planned.finalLevel = best >= 0 && !round.servers[best]->returnedList[0];
    if (best >= 0) planned.gapBelow = c.gaps[static_cast<size_t>(best)];
    if (planned.finalLevel) planned.group = FindEqualGroup(round.servers, round.count, best);
    for (int i = planned.group.first; planned.group.isGroup && i <= planned.group.last; ++i) {
        const PlannedServer& member = planned.servers[static_cast<size_t>(i)];
        if (member.acceptable && member.clientCount == CLIENTS_UNKNOWN) planned.randomPick = true;
    }
    planned.runnerUp = RunnerUp(planned);
    planned.limit = ClosestLimit(planned);
    if (best >= 0) c.owner = round.servers[best]->name;
    c.walk->levels.push_back(std::move(planned));
}

}  // namespace

std::vector<int> ChosenWith(const PlannedLevel& level, size_t index, uint32_t averageMs,
                            bool withGroup) {
    std::vector<TimedServer> records(level.servers.size());
    std::vector<TimedServer*> pointers;
    for (size_t i = 0; i < level.servers.size(); ++i) {
        const PlannedServer& server = level.servers[i];
        TimedServer& record = records[i];
        record.name = const_cast<char*>(server.name.c_str());
        uint32_t average = i == index ? averageMs : server.averageMs;
        bool answers = server.unreachable == Unreachable::No && average != SAMPLE_FAILED;
        record.validSamples = answers ? 1 : 0;
        record.averageMs = answers ? average : SAMPLE_FAILED;
        record.limitMs = server.limitMs;
        record.separator = server.separator;
        pointers.push_back(&record);
    }
    int count = static_cast<int>(pointers.size());
    int best = ChooseBestServer(pointers.data(), count);
    if (best < 0) return {};
    if (!withGroup) return {best};
    EqualGroup group = FindEqualGroup(pointers.data(), count, best);
    std::vector<int> chosen;
    for (int i = group.first; i <= group.last; ++i)
        if (i == best || IsAcceptable(*pointers[static_cast<size_t>(i)])) chosen.push_back(i);
    return chosen;
}

std::vector<const PlannedServer*> BalancedMembers(const PlannedWalk& walk) {
    std::vector<const PlannedServer*> members;
    if (walk.levels.empty()) return members;
    const PlannedLevel& last = walk.levels.back();
    if (!last.finalLevel || !last.group.isGroup || last.randomPick) return members;
    for (int i = last.group.first; i <= last.group.last; ++i)
        if (last.servers[static_cast<size_t>(i)].acceptable)
            members.push_back(&last.servers[static_cast<size_t>(i)]);
    return members;
}

std::vector<int64_t> FillLowest(const std::vector<int64_t>& counts, int64_t machines) {
    if (counts.empty()) return counts;
    // The lowest counts rise to a common level, and what is left over goes
    // one each to the members at that level in list order.
    auto needed = [&](int64_t level) {
        int64_t sum = 0;
        for (int64_t count : counts) sum += count < level ? level - count : 0;
        return sum;
    };
    int64_t low = *std::min_element(counts.begin(), counts.end());
    int64_t high = low + machines;  // needed(high) >= machines
    while (low < high) {            // the highest level the machines fill
        int64_t middle = low + (high - low + 1) / 2;
        if (needed(middle) <= machines)
            low = middle;
        else
            high = middle - 1;
    }
    int64_t left = machines - needed(low);
    std::vector<int64_t> after;
    for (int64_t count : counts) {
        int64_t filled = count < low ? low : count;
        if (filled == low && left > 0) {
            ++filled;
            --left;
        }
        after.push_back(filled);
    }
    return after;
}

std::vector<int64_t> FillTogether(const std::vector<int64_t>& counts, int64_t machines,
                                  uint64_t windowMs, uint64_t delayMs) {
    std::vector<int64_t> after = counts;
    if (counts.empty() || machines <= 0) return after;
    std::vector<size_t> chosen;  // by machine, in the order they start
    auto startMs = [&](int64_t machine) {
        return static_cast<uint64_t>(machine) * windowMs / static_cast<uint64_t>(machines);
    };
    int64_t seen = 0;  // the machines whose records count at the current start
    for (int64_t machine = 0; machine < machines; ++machine) {
        while (seen < machine && startMs(seen) + delayMs <= startMs(machine)) ++seen;
        std::vector<int64_t> read = counts;
        for (int64_t earlier = 0; earlier < seen; ++earlier) ++read[chosen[static_cast<size_t>(earlier)]];
        size_t lowest = static_cast<size_t>(std::min_element(read.begin(), read.end()) - read.begin());
        chosen.push_back(lowest);
        ++after[lowest];
    }
    return after;
}

std::vector<Share> SharesOf(const std::vector<const PlannedServer*>& members,
                            const std::vector<int64_t>& joined) {
    std::vector<Share> shares;
    for (size_t i = 0; i < members.size(); ++i)
        if (joined[i] > 0) shares.push_back({members[i]->name, static_cast<uint32_t>(joined[i])});
    std::stable_sort(shares.begin(), shares.end(),
                     [](const Share& a, const Share& b) { return a.machines > b.machines; });
    return shares;
}

std::vector<std::string> PlannedWalk::EndsOn() const {
    std::vector<std::string> servers;
    for (const Share& share : shares) servers.push_back(share.server);
    if (servers.empty()) servers = candidates;
    if (servers.empty() && !winner.empty()) servers.push_back(winner);
    return servers;
}

const TreeGap* PlannedWalk::Uncertain() const {
    for (const PlannedLevel& level : levels)
        if (level.gapBelow) return level.gapBelow;
    return nullptr;
}

bool PlanWalk(const ListTree& tree, const SiteTable& table, const Site& site, const char* role,
              size_t* levelsLeft, PlannedWalk* walk, const DownServers* down) {
    const TreeList* local = tree.Find(kLocalName, role, "0");
    // A level-0 list too long for the program's buffer reads as no list at all.
    if (!local || local->list.empty() || local->list.size() >= kListSize) return false;
    *walk = PlannedWalk{&site, role, {}, "", {}, {}, {}, false, false, {}, 0, 0};
    char list[kListSize];
    CopyText(list, local->list);
    WalkContext context{&tree, &table, down, &site, walk, levelsLeft, kLocalName, {}, {}, {}};
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

std::string NameRefusal(const std::string& name) {
    NameCheck check = CheckServerName(name.c_str());
    switch (check.fault) {
    case NameFault::None: break;
    case NameFault::TooLong:
        return Concat({"a name of ", std::to_string(name.size()), " characters (a server name "
                       "has at most ", std::to_string(kLongestServerName), ")"});
    case NameFault::Character: {
        char character = static_cast<char>(check.character);
        return Concat({"a computer name cannot hold the character \"",
                       ShownText<8>(std::string_view(&character, 1)).get(), "\""});
    }
    case NameFault::Empty:
    case NameFault::LeadingPeriod:
        return "a computer name cannot be empty or start with a period";
    }
    return "";
}

std::string ListAsReplied(const std::string& published) {
    // The value is stored with its NUL; a reply holds what fits its room.
    std::string value = published + '\0';
    size_t told = value.size() < kReplyTextRoom ? value.size() : kReplyTextRoom;
    char list[kListSize];
    TakeReplyList(reinterpret_cast<const unsigned char*>(value.data()), told, told, list);
    return list;
}

void SpreadOverGroups(const SiteTable& table, std::vector<PlannedWalk>* walks) {
    std::map<std::string, int64_t> counts;  // by NameKey, once a machine joined
    auto countOf = [&](const std::string& server) {
        auto found = counts.find(NameKey(server));
        return found != counts.end() ? found->second
                                     : static_cast<int64_t>(table.ClientCount(server));
    };
    for (PlannedWalk& walk : *walks) {
        if (std::string_view(walk.role) != "Parent") continue;
        std::vector<const PlannedServer*> members = BalancedMembers(walk);
        if (members.empty() || walk.site->machines == 0) continue;
        std::vector<int64_t> before;
        for (const PlannedServer* member : members) before.push_back(countOf(member->name));
        std::vector<int64_t> after = FillLowest(before, walk.site->machines);
        std::vector<int64_t> joined;
        for (size_t i = 0; i < members.size(); ++i) {
            counts[NameKey(members[i]->name)] = after[i];
            joined.push_back(after[i] - before[i]);
        }
        walk.shares = SharesOf(members, joined);
        if (table.startWindowSeconds == 0) continue;
        // Beside the fill, what a start within the window leaves: the counts
        // the machines read lag their own registrations.
        std::vector<int64_t> together =
            FillTogether(before, walk.site->machines,
                         static_cast<uint64_t>(table.startWindowSeconds) * 1000,
                         table.registrationDelayMs);
        std::vector<int64_t> togetherJoined;
        for (size_t i = 0; i < members.size(); ++i) togetherJoined.push_back(together[i] - before[i]);
        walk.togetherShares = SharesOf(members, togetherJoined);
        auto spread = [](const std::vector<int64_t>& values) {
            return *std::max_element(values.begin(), values.end()) -
                   *std::min_element(values.begin(), values.end());
        };
        walk.togetherSpread = spread(together);
        walk.oneByOneSpread = spread(after);
    }
}
