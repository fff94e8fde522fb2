#pragma once
// The tree of server lists a plan works on, read from a file in the import
// format (what "/export FILE" writes): each line sets one list value of this
// machine or of a server, as the import would set it.

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <vector>

constexpr char kLocalName[] = "<local>";

// The role words in the order the engine searches them.
constexpr const char* kPlanRoles[] = {"Parent", "Quarantine", "HPD",   "KPZ",
                                      "WDR",    "Primary",    "Alerts"};

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
};

struct ListTree {
    std::map<std::string, TreeList> lists;  // by TreeKey
    std::vector<RefusedLine> refused;

    // The list a machine publishes for a role and level, null when none.
    const TreeList* Find(std::string_view machine, std::string_view role,
                         std::string_view level) const;
};

std::string TreeKey(std::string_view machine, std::string_view role, std::string_view level);

// Reads the tree; false with *error when the file cannot be read or is too
// large to plan.
bool ReadListTree(const char* path, ListTree* tree, std::string* error);
