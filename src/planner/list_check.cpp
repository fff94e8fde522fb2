// Checking a tree of lists: what the walk reads, and what the planned walks
// of every site made of it.

#include "planner/list_check.h"

#include <algorithm>
#include <deque>
#include <map>
#include <set>

#include "common/text.h"
#include "product/server_list.h"
#include "planner/plan_text.h"
#include "product/product_interface.h"
#include "product/server_registry.h"

namespace {

constexpr size_t kReplyListSize = product::kListBlockSize - product::kReplyHeaderSize;

struct Entry {
    std::string name;
    char separator;
};

// The entries as the search parses the list.
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

std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (size_t i = 0; i < names.size(); ++i) text += Concat({i ? ", " : "", names[i]});
    return text;
}

struct Checker {
    const ListTree& tree;
    const SiteTable& table;
    std::vector<Finding> findings;
    std::set<std::string> reachable;                             // TreeKeys
    std::map<std::string, std::vector<const PlannedLevel*>> visits;  // by TreeKey
    std::set<std::pair<std::string, int>> chosen;                // TreeKey, entry index

    void Add(const TreeList& list, std::string reason) {
        findings.push_back({list.line, Place(list), std::move(reason)});
    }

    // The lists the walk can read: the level-0 lists of this machine, and
    // below them the lists of the servers they name, one level further down.
    void FindReachable() {
        std::deque<const TreeList*> pending;
        for (const char* role : kPlanRoles)
            if (const TreeList* local = tree.Find(kLocalName, role, "0")) pending.push_back(local);
        while (!pending.empty()) {
            const TreeList* list = pending.front();
            pending.pop_front();
            if (!reachable.insert(TreeKey(list->machine, list->role, list->level)).second) continue;
            std::string below = std::to_string(list->IsLocal() ? 1 : WalkedLevel(list->level) + 1);
            for (const Entry& entry : Entries(list->list))
                if (const TreeList* next = tree.Find(entry.name, list->role, below))
                    pending.push_back(next);
        }
    }

    void NoteWalks(const std::vector<PlannedWalk>& walks) {
        for (const PlannedWalk& walk : walks) {
            for (const PlannedLevel& level : walk.levels) {
                std::string key = TreeKey(level.owner, walk.role, std::to_string(level.level - 1));
                visits[key].push_back(&level);
                if (level.best < 0) continue;
                if (!level.randomPick) chosen.insert({key, level.winner});
                for (int i = level.group.first; level.randomPick && i <= level.group.last; ++i)
                    if (level.servers[static_cast<size_t>(i)].acceptable) chosen.insert({key, i});
            }
        }
    }

    // What the table says of a name; true when it already rules the name out
    // at every site.
    bool CheckReach(const TreeList& list, const std::string& name) {
        std::vector<std::string> missing;
        size_t unreachable = 0;
        for (const Site& site : table.sites) {
            const SiteLatency* latency = table.Latency(site, name);
            if (!latency) missing.push_back(site.name);
            if (!latency || latency->down) ++unreachable;
        }
        if (missing.size() == table.sites.size()) {
            Add(list, Concat({Quoted(name), " has no latency in the table"}));
            return true;
        }
        if (unreachable == table.sites.size()) {
            Add(list, Concat({"no site can reach ", Quoted(name)}));
            return true;
        }
        if (!missing.empty())
            Add(list, Concat({Quoted(name), " has no latency for ", Joined(missing),
                              ": taken as unreachable there"}));
        return false;
    }

    void CheckNames(const TreeList& list, const std::string& key,
                    const std::vector<Entry>& entries) {
        for (size_t i = 0; i < entries.size(); ++i) {
            const std::string& name = entries[i].name;
            if (!IsUsableServerName(name.c_str())) {
                Add(list, Concat({Quoted(name), " is never chosen: a name of ",
                                  std::to_string(name.size()),
                                  " characters, or with a control character (at most 127 fit)"}));
                continue;
            }
            if (CheckReach(list, name)) continue;
            if (!chosen.count({key, static_cast<int>(i)}))
                Add(list, Concat({"no site ever chooses ", Quoted(name)}));
        }
    }

    void CheckPreferences(const TreeList& list, const std::string& key,
                          const std::vector<Entry>& entries) {
        const std::vector<const PlannedLevel*>& seen = visits[key];
        if (seen.empty()) return;  // no site reads the list: its entries are reported instead
        for (size_t i = 0; i + 1 < entries.size(); ++i) {
            if (entries[i].separator != '>') continue;
            size_t applies = 0;
            for (const PlannedLevel* level : seen) {
                if (i >= level->servers.size()) continue;
                const PlannedServer& server = level->servers[i];
                if (server.verdict != ChoiceVerdict::Skipped && server.acceptable) ++applies;
            }
            std::string preferred = Quoted(entries[i].name);
            if (applies == 0)
                Add(list, Concat({"the \">\" after ", preferred, " never applies: at no site "
                                  "that reads this list is ", preferred,
                                  " considered and within its limit"}));
            else if (applies == seen.size() && seen.size() >= 2)
                Add(list, Concat({"the \">\" after ", preferred, " applies at every site that "
                                  "reads this list: what follows it is tried only when ",
                                  preferred, " fails or is over its limit"}));
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
                Add(list, Concat({"the \"=\" group ", group,
                                  " is decided by speed alone: ", Joined(publishing),
                                  publishing.size() == 1 ? " publishes" : " publish",
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
        if (!list.IsLocal() && list.list.size() > kReplyListSize)
            Add(list, Concat({"a list of ", std::to_string(list.list.size()),
                              " characters: a server's reply carries at most 982, so the "
                              "search sees it cut"}));
        std::string key = TreeKey(list.machine, list.role, list.level);
        if (!reachable.count(key)) {
            Add(list, WhyNeverRead(list));
            return;
        }
        std::vector<Entry> entries = Entries(list.list);
        CheckNames(list, key, entries);
        CheckPreferences(list, key, entries);
        CheckGroups(list, entries);
    }
};

}  // namespace

std::vector<Finding> CheckLists(const ListTree& tree, const SiteTable& table,
                                const std::vector<PlannedWalk>& walks) {
    Checker checker{tree, table, {}, {}, {}, {}};
    checker.FindReachable();
    checker.NoteWalks(walks);
    for (const RefusedLine& refused : tree.refused)
        checker.findings.push_back({refused.line, Concat({"line ", std::to_string(refused.line)}),
                                    refused.reason});
    for (const auto& [key, list] : tree.lists) checker.CheckList(list);
    std::stable_sort(checker.findings.begin(), checker.findings.end(),
                     [](const Finding& a, const Finding& b) { return a.line < b.line; });
    return checker.findings;
}

void PrintFindings(const std::vector<Finding>& findings) {
    Say("Check of the lists");
    for (const Finding& finding : findings)
        Say("  %s: %s", finding.place.c_str(), finding.reason.c_str());
    if (findings.empty())
        Say("  nothing found");
    else
        Say("  %u finding%s", static_cast<unsigned>(findings.size()),
            findings.size() == 1 ? "" : "s");
}
