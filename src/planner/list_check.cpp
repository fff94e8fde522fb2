// Checking a tree of lists: what the walk reads, and what the planned walks
// of every site made of it.

#include "planner/list_check.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "common/text.h"
#include "engine/role_table.h"
#include "planner/load_estimate.h"
#include "planner/plan_text.h"
#include "product/server_list.h"

namespace {

// The level of a server's list as the walk asks for it: 1, 2 ... in plain
// decimal; 0 when the walk never asks a server for it.
int WalkedLevel(const std::string& level) {
    uint32_t number = 0;
    if (!ReadWholeNumber(level, 0x7FFFFFFF, &number) || std::to_string(number) != level)
        return 0;
    return static_cast<int>(number);
}

std::string Place(const TreeList& list) {
    return Concat({list.machine, " ", list.role, " ", list.level});
}

std::string Joined(const std::vector<std::string>& names, const char* separator = ", ") {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) text += Concat({i ? separator : "", names[i]});
    return text;
}

std::string WalkPlace(const PlannedWalk& walk) {
    return Concat({walk.site->name, " ", walk.role});
}

// The entries of a level the site's machines end on (or, above the final
// level, the one that is followed).
std::vector<int> EndsOnIndices(const PlannedWalk& walk, const PlannedLevel& level) {
    std::vector<int> indices;
    if (level.best < 0) return indices;
    bool last = &level == &walk.levels.back();
    if (!last || (walk.shares.empty() && !level.randomPick)) return {level.winner};
    std::vector<std::string> servers = walk.EndsOn();
    for (size_t i = 0; i < level.servers.size(); ++i)
        if (std::find(servers.begin(), servers.end(), level.servers[i].name) != servers.end())
            indices.push_back(static_cast<int>(i));
    return indices;
}

struct Visit {
    const PlannedWalk* walk;
    const PlannedLevel* level;
};

struct Checker {
    const ListTree& tree;
    const SiteTable& table;
    const DownServers* down;
    ListCheck result;
    std::set<std::string> reachable;                      // TreeKeys
    std::map<std::string, std::vector<Visit>> visits;     // by TreeKey
    std::set<std::pair<std::string, int>> chosen;         // TreeKey, entry index

    Finding& Add(Severity severity, const char* kind, int line, std::string place,
                 std::string reason) {
        result.findings.push_back(
            {severity, kind, line, std::move(place), std::move(reason), {}, {}, {}});
        return result.findings.back();
    }
    void Add(Severity severity, const char* kind, const TreeList& list, std::string reason) {
        Finding& finding = Add(severity, kind, list.line, Place(list), std::move(reason));
        finding.role = list.role;
        finding.list = TreeKey(list.machine, list.role, list.level);
    }
    void Add(Severity severity, const char* kind, const PlannedWalk& walk, std::string reason) {
        Finding& finding = Add(severity, kind, 0, WalkPlace(walk), std::move(reason));
        finding.site = walk.site->name;
        finding.role = walk.role;
    }

    void FindReachable() {
        for (const TreeList* list : ReachableLists(tree))
            reachable.insert(TreeKey(list->machine, list->role, list->level));
    }

    void NoteWalks(const std::vector<PlannedWalk>& walks) {
        for (const PlannedWalk& walk : walks) {
            for (const PlannedLevel& level : walk.levels) {
                std::string key = TreeKey(level.owner, walk.role, std::to_string(level.level - 1));
                visits[key].push_back({&walk, &level});
                for (int index : EndsOnIndices(walk, level)) chosen.insert({key, index});
            }
        }
    }

    void CheckWalk(const PlannedWalk& walk) {
        if (walk.tooLarge) return;
        const PlannedLevel& last = walk.levels.back();
        if (walk.winner.empty())
            Add(Severity::Problem, "no-server", walk,
                "no server: nothing in the level-0 list is acceptable from this site");
        if (walk.searchedAgain && RoleRoams(table.engine, walk.role))
            Add(Severity::Problem, "retry-for-ever", walk,
                Concat({"the search finds nothing while its last probe answers, so every "
                        "machine searches again every ",
                        std::to_string(table.engine.CheckForNewParentIntervalMs / 1000),
                        " s for ever: ",
                        std::to_string(static_cast<uint64_t>(WalkProbesPerHour(table, walk) + 0.5)),
                        " probes per hour"}));
        if (last.best < 0 && last.level > 1)
            Add(Severity::Note, "ends-above", walk,
                Concat({"the walk ends on ", Quoted(last.owner), ", which publishes a list for "
                        "level ", std::to_string(last.level), ": nothing in it is acceptable"}));
        for (const PlannedLevel& level : walk.levels) {
            for (const Margin* margin : {&level.runnerUp, &level.limit}) {
                if (!margin->present || margin->Ms() >= table.closeCallMs) continue;
                std::string against =
                    margin->other.empty()
                        ? Concat({"its limit ", std::to_string(margin->otherMs), " ms"})
                        : Concat({Quoted(margin->other), " ", std::to_string(margin->otherMs),
                                  " ms"});
                Add(Severity::Note, "close-call", walk,
                    Concat({"level ", std::to_string(level.level), ": a close call, ",
                            Quoted(margin->server), " ", std::to_string(margin->serverMs),
                            " ms against ", against, " (", std::to_string(margin->Ms()),
                            " ms apart, under ", std::to_string(table.closeCallMs),
                            " ms): jitter can turn it"}));
            }
        }
    }

    // Once per site: what its row does not name is planned as down there.
    void CheckNotNamed(const std::vector<PlannedWalk>& walks) {
        for (const Site& site : table.sites) {
            std::vector<std::string> names;
            for (const PlannedWalk& walk : walks) {
                if (walk.site != &site) continue;
                for (const std::string& name : walk.notNamed)
                    if (std::find(names.begin(), names.end(), name) == names.end())
                        names.push_back(name);
            }
            if (names.empty()) continue;
            std::vector<std::string> quoted;
            for (const std::string& name : names) quoted.push_back(Quoted(name));
            Add(Severity::Note, "not-named", 0, site.name,
                Concat({"the site's row does not name ", Joined(quoted),
                        ": unknown, planned as down from there"}))
                .site = site.name;
        }
    }

    void CheckGaps() {
        for (const auto& [key, gap] : tree.gaps) {
            Finding& finding =
                Add(Severity::Problem, "tree-incomplete", gap.line,
                    Concat({"line ", std::to_string(gap.line)}),
                    Concat({"tree incomplete below ", gap.server, " (error ", gap.error,
                            "): the export has no ", gap.role, " list of it for level ",
                            gap.level, ", so every walk through it is uncertain"}));
            finding.role = gap.role;
            finding.list = key;
        }
    }

    // A roaming role with no level-0 list is searched and finds nothing.
    void CheckMissingRoles() {
        for (const RoleEntry& role : kRoleTable) {
            if (!RoleRoams(table.engine, role.word)) continue;
            const TreeList* local = tree.Find(kLocalName, role.word, "0");
            if (local && !local->list.empty() && local->list.size() < kListSize) continue;
            bool primary = std::string_view(role.word) == "Primary";
            Add(Severity::Note, "no-level-0-list", 0, Concat({kLocalName, " ", role.word, " 0"}),
                Concat({"the tree holds no level-0 list for ", role.word, ", which roams (",
                        role.roamSetting, "): not planned",
                        primary ? "; an export never writes the Primary lists" : ""}))
                .role = role.word;
        }
    }

    // True when no site that reads the list can reach the name: down, or
    // not named (which each site's own note says).
    bool CheckReach(const TreeList& list, const std::string& name,
                    const std::vector<Visit>& seen) {
        bool anyDown = false;
        for (const Visit& visit : seen) {
            const SiteLatency* latency = table.Latency(*visit.walk->site, name, down);
            if (latency && !latency->down) return false;
            anyDown = anyDown || latency;
        }
        if (anyDown)
            Add(Severity::Note, "unreachable", list,
                Concat({"no site that reads this list can reach ", Quoted(name)}));
        return true;
    }

    void CheckNeverChosen(const TreeList& list, size_t index, const std::string& name,
                          const std::vector<Visit>& seen) {
        Backup backup{Place(list), list.role, name, {}};
        for (const Visit& visit : seen) {
            const PlannedLevel& level = *visit.level;
            if (index >= level.servers.size()) continue;
            for (size_t failed = 0; failed < level.servers.size(); ++failed) {
                if (failed == index || !level.servers[failed].acceptable) continue;
                std::vector<int> now = ChosenWith(level, failed, SAMPLE_FAILED, true);
                if (std::find(now.begin(), now.end(), static_cast<int>(index)) == now.end())
                    continue;
                backup.whenFails.push_back({visit.walk->site->name, level.servers[failed].name});
                break;
            }
        }
        if (!backup.whenFails.empty())
            result.backups.push_back(std::move(backup));
        else
            Add(Severity::Note, "never-chosen", list,
                Concat({"no site ever chooses ", Quoted(name),
                        ", not even when one other server fails"}));
    }

    void CheckNames(const TreeList& list, const std::string& key,
                    const std::vector<Entry>& entries) {
        const std::vector<Visit>& seen = visits[key];
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string& name = entries[i].name;
            std::string refusal = NameRefusal(name);
            if (!refusal.empty()) {
                Add(Severity::Note, "unusable-name", list,
                    Concat({Quoted(name), " is never chosen: ", refusal}));
                continue;
            }
            if (seen.empty() || CheckReach(list, name, seen)) continue;
            if (!chosen.count({key, static_cast<int>(i)})) CheckNeverChosen(list, i, name, seen);
        }
    }

    void CheckPreferences(const TreeList& list, const std::string& key,
                          const std::vector<Entry>& entries) {
        const std::vector<Visit>& seen = visits[key];
        if (seen.empty()) return;
        for (size_t i = 0; i + 1 < entries.size(); ++i) {
            if (entries[i].separator != '>') continue;
            bool applies = false;
            for (const Visit& visit : seen) {
                if (i >= visit.level->servers.size()) continue;
                const PlannedServer& server = visit.level->servers[i];
                if (server.verdict != ChoiceVerdict::Skipped && server.acceptable) applies = true;
            }
            std::string preferred = Quoted(entries[i].name);
            if (!applies)
                Add(Severity::Note, "preference-never-applies", list,
                    Concat({"the \">\" after ", preferred, " never applies: at no site "
                            "that reads this list is ", preferred,
                            " considered and within its limit"}));
        }
    }

    void CheckGroups(const TreeList& list, const std::vector<Entry>& entries) {
        std::string below = std::to_string(list.IsLocal() ? 1 : WalkedLevel(list.level) + 1);
        for (size_t first = 0; first < entries.size(); ++first) {
            if (entries[first].separator != '=' || (first > 0 && entries[first - 1].separator == '='))
                continue;
            size_t last = first;
            while (last + 1 < entries.size() && entries[last].separator == '=') ++last;
            if (last == first) continue;
            std::string group;
            std::vector<std::string> publishing;
            for (size_t i = first; i <= last; ++i) {
                group += Concat({i > first ? "=" : "", entries[i].name});
                const TreeList* next = tree.Find(entries[i].name, list.role, below);
                if (next && !next->list.empty()) publishing.push_back(entries[i].name);
            }
            if (!publishing.empty())
                Add(Severity::Note, "group-by-speed", list,
                    Concat({"the \"=\" group ", group, " is decided by speed alone: ",
                            Joined(publishing), publishing.size() == 1 ? " publishes" : " publish",
                            " a list for level ", below,
                            ", and client counts balance only at the final level"}));
        }
    }

    std::string WhyNeverRead(const TreeList& list) {
        if (list.IsLocal())
            return "the walk reads this machine's own lists at level 0 only";
        int level = WalkedLevel(list.level);
        if (level == 0)
            return Concat({"the walk asks servers for levels 1 and up, written in plain "
                           "decimal; it never reads level ", Quoted(list.level)});
        if (!tree.Find(kLocalName, list.role, "0"))
            return "the role has no level-0 list on <local>, so the walk never starts";
        return Concat({"no list that the walk reads at level ", std::to_string(level - 1),
                       " names ", Quoted(list.machine), ", so the walk never reads this list"});
    }

    void CheckList(const TreeList& list) {
        if (!list.IsLocal() && list.list.size() >= kReplyTextRoom)
            Add(Severity::Problem, "reply-too-long", list,
                Concat({"a list of ", std::to_string(list.list.size()),
                        " characters: a server's reply carries at most ",
                        std::to_string(kReplyTextRoom - 1),
                        ", so the search sees it cut and drops its last entry"}));
        std::string key = TreeKey(list.machine, list.role, list.level);
        if (!reachable.count(key)) {
            Add(Severity::Note, "never-read", list, WhyNeverRead(list));
            return;
        }
        std::vector<Entry> entries = Entries(list.list);
        CheckNames(list, key, entries);
        CheckPreferences(list, key, entries);
        CheckGroups(list, entries);
    }
};

}  // namespace

std::vector<Entry> Entries(const std::string& list) {
    char text[kListSize];
    CopyText(text, list);
    int count = CountListEntries(text);
    std::vector<Entry> entries;
    char* cursor = text;
    ListEntry entry;
    while (static_cast<int>(entries.size()) < count && TakeListEntry(&cursor, entry, true))
        entries.push_back({entry.name, entry.separator});
    return entries;
}

std::vector<const TreeList*> ReachableLists(const ListTree& tree) {
    std::vector<const TreeList*> lists;
    std::set<std::string> seen;  // TreeKeys
    std::deque<const TreeList*> pending;
    for (const RoleEntry& role : kRoleTable)
        if (const TreeList* local = tree.Find(kLocalName, role.word, "0")) pending.push_back(local);
    while (!pending.empty()) {
        const TreeList* list = pending.front();
        pending.pop_front();
        if (!seen.insert(TreeKey(list->machine, list->role, list->level)).second) continue;
        lists.push_back(list);
        std::string below = std::to_string(list->IsLocal() ? 1 : WalkedLevel(list->level) + 1);
        for (const Entry& entry : Entries(list->list))
            if (const TreeList* next = tree.Find(entry.name, list->role, below))
                pending.push_back(next);
    }
    return lists;
}

bool ListCheck::HasProblems() const {
    for (const Finding& finding : findings)
        if (finding.severity == Severity::Problem) return true;
    return false;
}

ListCheck CheckLists(const ListTree& tree, const SiteTable& table,
                     const std::vector<PlannedWalk>& walks, const DownServers* down) {
    Checker checker{tree, table, down, {}, {}, {}, {}};
    checker.FindReachable();
    checker.NoteWalks(walks);
    for (const PlannedWalk& walk : walks) checker.CheckWalk(walk);
    checker.CheckNotNamed(walks);
    checker.CheckMissingRoles();
    checker.CheckGaps();
    for (const RefusedLine& refused : tree.refused) {
        Finding& finding = checker.Add(Severity::Problem, "import-refuses", refused.line,
                                       Concat({"line ", std::to_string(refused.line)}),
                                       refused.reason);
        finding.role = refused.role;
        finding.list = refused.list;
    }
    for (const auto& [key, list] : tree.lists) checker.CheckList(list);
    std::vector<Finding>& findings = checker.result.findings;
    std::stable_sort(findings.begin(), findings.end(), [](const Finding& a, const Finding& b) {
        if (a.severity != b.severity) return a.severity == Severity::Problem;
        return a.line < b.line;
    });
    return std::move(checker.result);
}
