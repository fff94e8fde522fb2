#pragma once
// The tree of server lists a plan works on, read from a file in the import
// format (what "/export FILE" writes): each line sets one list value of this
// machine or of a server, as the import would set it.

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

constexpr char kLocalName[] = "<local>";

struct TreeList {
    std::string machine;  // as written; "<local>" for this machine
    std::string role;     // the role word as the engine spells it
    std::string level;    // as written: the value name takes it as text
    std::string list;     // as the import stores it, or as written when it refuses it
    int line = 0;
    bool IsLocal() const;
};

// A line the import would refuse.
struct RefusedLine {
    int line;
    std::string reason;
    std::string role;  // of the line, "" when it names none
    std::string list;  // the TreeKey it would set, "" when it names none
};

// A server the export could not ask, or did not ask because its walk was cut
// at its limits: a commented line with the error, and nothing below it.
struct TreeGap {
    std::string server;  // as written
    std::string role;
    std::string level;   // of the list it was asked for
    std::string error;   // as the export wrote it (hexadecimal)
    int line = 0;
};

struct ListTree {
    std::map<std::string, TreeList> lists;  // by TreeKey
    std::vector<RefusedLine> refused;
    std::map<std::string, TreeGap> gaps;    // by TreeKey, the first line of each
    // The roles whose level-0 list of <local> the file names: set, deleted,
    // or the export's comment for a role without one ("# <local> ROLE 0").
    std::set<std::string> localRoles;

    // An export names <local>'s level-0 list of every role (Primary aside,
    // which it never writes); a file that does not is a change to apply over
    // another tree, as the import applies it. The first role it does not
    // name, null for a whole tree.
    const char* MissingLocalRole() const;
    bool IsWholeTree() const { return !MissingLocalRole(); }

    // The list a machine publishes for a role and level, null when none.
    const TreeList* Find(std::string_view machine, std::string_view role,
                         std::string_view level) const;
    // What the export said instead of the list, null when it did not fail.
    const TreeGap* Gap(std::string_view machine, std::string_view role,
                       std::string_view level) const;
};

std::string TreeKey(std::string_view machine, std::string_view role, std::string_view level);

// Reads the tree; false with *error when the file cannot be read or is too
// large to plan.
bool ReadListTree(const char* path, ListTree* tree, std::string* error);
