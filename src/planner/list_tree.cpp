// Reading the tree of lists with the import's own line rules, so that a plan
// works on the values an import of the same file would set. A line the import
// refuses is reported and sets nothing over an earlier value; with none
// before it, its list is planned as written, since a server may publish what
// the import refuses. The export's commented failure lines are read too: the
// tree is incomplete below those servers.

#include "planner/list_tree.h"

#include <cstdio>
#include <memory>

#include "common/handles.h"
#include "common/text.h"
#include "engine/role_table.h"
#include "lists/import.h"
#include "output/output.h"
#include "planner/file_text.h"
#include "planner/plan_text.h"
#include "planner/site_text.h"

namespace {

constexpr size_t kMaxTreeLines = 100000;
constexpr size_t kMaxTreeBytes = 32u << 20;
constexpr unsigned kMsgExportFailure = 150;

const char* RoleWord(std::string_view word) {
    const RoleEntry* role = FindRole(word);
    return role ? role->word : nullptr;
}

// "# SERVER ROLE LEVEL # NOTE", where NOTE is the export's failure note.
bool ReadGap(const NormalisedLine& line, TreeGap* gap) {
    if (line.IsDamaged()) return false;
    std::string_view text(line.Text(), line.Length());
    if (text.substr(0, 2) != "# ") return false;
    text.remove_prefix(2);
    std::string_view fields[3];
    for (std::string_view& field : fields) {
        size_t blank = text.find(' ');
        if (blank == std::string_view::npos || blank == 0) return false;
        field = text.substr(0, blank);
        text.remove_prefix(blank + 1);
    }
    const char* role = RoleWord(fields[1]);
    if (!role || text.substr(0, 2) != "# ") return false;
    char format[kTextSize];
    LoadMessage(kMsgExportFailure, format);
    // The note's inserts: the time taken and the error (hexadecimal).
    std::vector<std::string> values;
    if (!MatchesMessageText(format, text.substr(2), &values) || values.size() != 2) return false;
    *gap = TreeGap{std::string(fields[0]), role, std::string(fields[2]), values[1], 0};
    return true;
}

// Machine, role, level and list of a line as written, split at blanks as the
// import splits it.
bool SplitFields(const NormalisedLine& line, TreeList* list) {
    if (line.IsDamaged()) return false;
    std::string_view fields[3];
    std::string_view text(line.Text(), line.Length());
    for (std::string_view& field : fields) {
        size_t blank = text.find(' ');
        if (blank == std::string_view::npos || blank == 0) return false;
        field = text.substr(0, blank);
        text.remove_prefix(blank + 1);
    }
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    const char* role = RoleWord(fields[1]);
    if (!role || text.empty()) return false;
    list->machine = EqualsNoCase(fields[0], kLocalName) ? kLocalName : std::string(fields[0]);
    list->role = role;
    list->level = std::string(fields[2]);
    list->list = std::string(text);
    return true;
}

std::string RefusalReason(const NormalisedLine& line, const TreeList* planned) {
    if (line.IsDamaged())
        return Concat({"a line of more than ", std::to_string(kImportLineSize - 1),
                       " characters, or with a control character: the import refuses it"});
    if (!planned)
        return "the import refuses it: a line is MACHINE ROLE LEVEL LIST with one of the role "
               "words";
    if (planned->list.size() >= kListSize)
        return Concat({"a list of ", std::to_string(planned->list.size()),
                       " characters: a list holds at most ", std::to_string(kListSize - 1),
                       ", and the import refuses it"});
    return Concat({"the import refuses it (names of 1 to ", std::to_string(kMaxServerName),
                   " characters, no empty name, no separator at the end)"});
}

void Store(ListTree& tree, TreeList list) {
    std::string key = TreeKey(list.machine, list.role, list.level);
    tree.lists[key] = std::move(list);
}

// The export's line for a role without a level-0 list: "# <local> ROLE 0".
const char* EmptyLocalRole(const NormalisedLine& line) {
    if (line.IsDamaged()) return nullptr;
    std::string_view text(line.Text(), line.Length());
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    std::string_view prefix = "# <local> ";
    if (text.size() < prefix.size() + 3 || !EqualsNoCase(text.substr(0, prefix.size()), prefix) ||
        text.substr(text.size() - 2) != " 0")
        return nullptr;
    return RoleWord(text.substr(prefix.size(), text.size() - prefix.size() - 2));
}

void TakeLine(ListTree& tree, const NormalisedLine& line, int number) {
    auto entry = std::make_unique<ImportEntry>();
    ImportLineKind kind = ParseImportLine(line, *entry);
    if (kind == ImportLineKind::Ignored) {
        if (const char* role = line.IsComment() ? EmptyLocalRole(line) : nullptr) {
            tree.localRoles.insert(role);
            return;
        }
        TreeGap gap;
        if (!line.IsComment() || !ReadGap(line, &gap)) return;
        gap.line = number;
        tree.gaps.emplace(TreeKey(gap.server, gap.role, gap.level), std::move(gap));
        return;
    }
    TreeList list;
    bool split = SplitFields(line, &list);
    list.line = number;
    if (split && list.IsLocal() && list.level == "0") tree.localRoles.insert(list.role);
    if (kind == ImportLineKind::Malformed) {
        // A server may publish what the import refuses, and an export shows it
        // so: such a list is planned as written, unless a valid line set the
        // value before (the import keeps that one; a refused deletion deletes
        // nothing).
        bool planned = split && list.list.front() != '#';
        std::string reason = RefusalReason(line, planned ? &list : nullptr);
        RefusedLine refused{number, {}, split ? list.role : "",
                            split ? TreeKey(list.machine, list.role, list.level) : ""};
        if (planned) {
            const TreeList* earlier = tree.Find(list.machine, list.role, list.level);
            reason += earlier ? Concat({"; the value of line ", std::to_string(earlier->line),
                                        " stands"})
                              : std::string("; planned as written all the same");
            if (!earlier) Store(tree, std::move(list));
        }
        refused.reason = std::move(reason);
        tree.refused.push_back(std::move(refused));
        return;
    }
    if (!split) return;  // the import split it: not reached
    // A later line for the same value replaces or deletes it, as in the import.
    if (entry->isDelete) {
        tree.lists.erase(TreeKey(list.machine, list.role, list.level));
        return;
    }
    list.list = entry->list;
    Store(tree, std::move(list));
}

}  // namespace

bool TreeList::IsLocal() const { return machine == kLocalName; }

const char* ListTree::MissingLocalRole() const {
    for (const RoleEntry& role : kRoleTable)
        if (std::string_view(role.word) != "Primary" && !localRoles.count(role.word))
            return role.word;
    return nullptr;
}

std::string TreeKey(std::string_view machine, std::string_view role, std::string_view level) {
    std::string key =
        EqualsNoCase(machine, kLocalName) ? std::string(kLocalName) : NameKey(machine);
    return key + '\n' + std::string(role) + '\n' + std::string(level);
}

const TreeList* ListTree::Find(std::string_view machine, std::string_view role,
                               std::string_view level) const {
    auto found = lists.find(TreeKey(machine, role, level));
    return found == lists.end() ? nullptr : &found->second;
}

const TreeGap* ListTree::Gap(std::string_view machine, std::string_view role,
                             std::string_view level) const {
    auto found = gaps.find(TreeKey(machine, role, level));
    return found == gaps.end() ? nullptr : &found->second;
}

bool ReadListTree(const char* path, ListTree* tree, std::string* error) {
    StdioFile file(std::fopen(path, "rb"));
    if (!file) {
        *error = Concat({path, ": cannot be read"});
        return false;
    }
    FileLines lines(file.get());
    if (!lines.Problem().empty()) {
        *error = Concat({path, ": ", lines.Problem()});
        return false;
    }
    auto line = std::make_unique<NormalisedLine>();
    int number = 0;
    size_t bytes = 0;
    while (lines.Next(*line)) {
        bytes += line->Length();
        if (++number > static_cast<int>(kMaxTreeLines) || bytes > kMaxTreeBytes) {
            *error = Concat({path, ": more than ", std::to_string(kMaxTreeLines), " lines or ",
                             std::to_string(kMaxTreeBytes >> 20),
                             " MiB; a plan takes at most that much"});
            return false;
        }
        // A name cut to what the code page holds would be another name.
        if (lines.Unheld() != std::string_view::npos && !line->IsComment()) {
            tree->refused.push_back(
                {number,
                 Concat({"a character that code page 1252 lacks, at column ",
                         std::to_string(lines.Unheld() + 1),
                         ": the program holds names in that code page; the line sets nothing"}),
                 "", ""});
            continue;
        }
        TakeLine(*tree, *line, number);
    }
    return true;
}
