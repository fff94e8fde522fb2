#pragma once
// What the program must choose, worked out by the planner's own functions
// from the lab as it stands (or as a fault would leave it), never by the
// program under test: the level walk and rules perchplan uses, fed with the
// latencies, reachability and client counts of a site table.

#include <map>
#include <string>

#include "planner/list_tree.h"

namespace soak {

struct Choice {
    std::string server;    // "" when the walk finds nothing
    uint32_t closestMs;    // the smallest margin that decided it (0 with none)
    uint32_t searchMs;     // how long the search's probes take at most
};

struct Choices {
    std::map<std::string, Choice> byRole;
    // Every role has a winner, and every margin that decided it is wide
    // enough that probe noise cannot turn it.
    bool Decisive() const;
    uint32_t SearchMs() const;  // of all roles, one after another
    std::string Describe() const;
};

class Model {
public:
    // Reads the tree once; false with *error when it cannot.
    bool Load(const std::string& treeText, std::string* error);
    // The choices of the roaming roles from a site table's first site.
    bool Choose(const std::string& siteTable, Choices* choices, std::string* error) const;

private:
    ListTree tree_;
    std::string scratch_;
};

// The margin below which a choice counts as a toss-up of the probes.
constexpr uint32_t kDecisiveMarginMs = 10;

// A site table with one server's entry replaced ("down" or milliseconds).
std::string WithServer(const std::string& siteTable, const std::string& server,
                       const std::string& entry);
// The entry of a server in a site table's first site ("" when absent).
std::string EntryOf(const std::string& siteTable, const std::string& server);

}  // namespace soak
