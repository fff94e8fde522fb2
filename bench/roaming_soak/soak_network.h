#pragma once
// The company network the soak roams in: three sites, a tree of lists for
// each roaming role, and this machine's product keys. The same lists are
// loaded into the lab and handed to the model as a tree in the import format,
// so that the program and the model read one tree.

#include <string>
#include <vector>

namespace soak {

struct RoamingRole {
    const char* word;      // of the engine's role table ("Parent" ...)
    const char* roleText;  // as messages 95 and 147 name it ("" for Parent)
};
// The roles the soak makes roam: the parent, and two taken over through
// registry values only.
extern const std::vector<RoamingRole> kRoamingRoles;

extern const std::vector<std::string> kSites;
extern const std::vector<std::string> kServers;

// The lab description: servers, lists, sites, this machine's keys.
std::string NetworkDescription();
// The lists alone, one "MACHINE ROLE LEVEL LIST" line each.
std::string ListTreeText();

// Where this machine's product keeps what each role was handed.
constexpr char kHome[] = "C:\\PerchmanLab\\Soak";
constexpr char kHpdPath[] = "C:\\PerchmanLab\\Soak\\HPD.DAT";
constexpr char kQuarantineKey[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Quarantine";
constexpr char kQuarantineOwnerValue[] = "SoakServer";  // each server publishes its name
constexpr char kCommonKey[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Common";
constexpr char kAlertsOwnerValue[] = "NQSSERVER";
constexpr char kClientsKey[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Clients";

// The machine's owner for a role as its registry shows it now.
std::string ReadOwner(const char* role);

}  // namespace soak
