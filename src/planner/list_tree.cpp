// Reading the tree of lists with the import's own line rules, so that a plan
// works on the values an import of the same file would set. A line the import
// refuses is reported, and its list planned as written when it has one.

#include "planner/list_tree.h"

#include <cstdio>
#include <memory>

#include "common/handles.h"
#include "common/text.h"
#include "lists/import.h"
#include "planner/plan_text.h"
#include "planner/site_table.h"

namespace {

constexpr size_t kMaxTreeLines = 100000;
constexpr size_t kMaxTreeBytes = 32u << 20;

const char* RoleWord(std::string_view word) {
    for (const char* role : kPlanRoles)
        if (EqualsNoCase(word, role)) return role;
    return nullptr;
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
        return "a line of more than 4095 characters, or with a control character: the import "
               "refuses it";
    if (!planned)
        return "the import refuses it: a line is MACHINE ROLE LEVEL LIST with one of the role "
               "words";
    if (planned->list.size() >= kListSize)
        return Concat({"a list of ", std::to_string(planned->list.size()),
                       " characters: a list holds at most 1023, and the import refuses it"});
    return "the import refuses it (names of 1 to 47 characters, no empty name, no separator at "
           "the end); planned as written all the same";
}

void Store(ListTree& tree, TreeList list) {
    std::string key = TreeKey(list.machine, list.role, list.level);
    tree.lists[key] = std::move(list);
}

void TakeLine(ListTree& tree, const NormalisedLine& line, int number) {
    auto entry = std::make_unique<ImportEntry>();
    ImportLineKind kind = ParseImportLine(line, *entry);
    if (kind == ImportLineKind::Ignored) return;
    TreeList list;
    bool split = SplitFields(line, &list);
    list.line = number;
    if (kind == ImportLineKind::Malformed) {
        // A server may publish what the import refuses, and an export shows it
        // so: such a list is planned as written (a refused deletion deletes nothing).
        bool planned = split && list.list.front() != '#';
        tree.refused.push_back({number, RefusalReason(line, planned ? &list : nullptr)});
        if (planned) Store(tree, std::move(list));
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

bool ReadListTree(const char* path, ListTree* tree, std::string* error) {
    StdioFile file(std::fopen(path, "rb"));
    if (!file) {
        *error = Concat({path, ": cannot be read"});
        return false;
    }
    LineReader lines(file.get());
    auto line = std::make_unique<NormalisedLine>();
    int number = 0;
    size_t bytes = 0;
    while (lines.Next(*line)) {
        bytes += line->Length();
        if (++number > static_cast<int>(kMaxTreeLines) || bytes > kMaxTreeBytes) {
            *error = Concat({path, ": more than ", std::to_string(kMaxTreeLines),
                             " lines or 32 MiB; a plan takes at most that much"});
            return false;
        }
        TakeLine(*tree, *line, number);
    }
    if (std::ferror(file.get())) {
        *error = Concat({path, ": cannot be read"});
        return false;
    }
    return true;
}
