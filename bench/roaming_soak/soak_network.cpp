// Latencies are far apart (at least 8 ms between any two servers a choice
// compares), so that the probes' own noise never turns a choice the model
// makes; the soak's faults keep that distance too (see the schedule).

#include "soak_network.h"

#include "harness/harness.h"

namespace soak {

const std::vector<RoamingRole> kRoamingRoles = {
    {"Parent", ""}, {"Quarantine", "Quarantine"}, {"Alerts", "Alerts"}};

const std::vector<std::string> kSites = {"NORTE", "SUR", "CENTRO"};
const std::vector<std::string> kServers = {"HUB-N", "HUB-S", "CORE", "N1", "N2", "S1", "S2"};

namespace {

// Level 1 of the north hub is a balanced pair for the parent (N2 serves
// fewer clients), the south hub's a preference with a limit.
constexpr char kLists[] =
    "<local> Parent 0 HUB-N,HUB-S,CORE\n"
    "HUB-N Parent 1 N1=N2\n"
    "HUB-S Parent 1 S1>S2(150)\n"
    "<local> Quarantine 0 CORE>HUB-N,HUB-S(120)\n"
    "<local> Alerts 0 HUB-S,HUB-N,CORE\n"
    "HUB-N Alerts 1 N2,N1\n"
    "HUB-S Alerts 1 S2>S1\n";

constexpr char kServersAndSites[] =
    "server HUB-N latency=40 clients=30 pattern=7\n"
    "server HUB-S latency=40 clients=20 pattern=7\n"
    "server CORE  latency=40 clients=90 pattern=7\n"
    "server N1    latency=40 clients=8  pattern=7\n"
    "server N2    latency=40 clients=5  pattern=7\n"
    "server S1    latency=40 clients=6  pattern=7\n"
    "server S2    latency=40 clients=3  pattern=7\n"
    "site NORTE  192.0.2.10    HUB-N=10 HUB-S=60 CORE=35 N1=12 N2=24 S1=70 S2=82\n"
    "site SUR    198.51.100.20 HUB-N=62 HUB-S=11 CORE=36 N1=72 N2=84 S1=14 S2=30\n"
    "site CENTRO 203.0.113.30  HUB-N=44 HUB-S=56 CORE=9  N1=46 N2=54 S1=64 S2=23\n"
    "string <local> - \"Home Directory\" C:\\PerchmanLab\\Soak\n"
    "dword  <local> - Connected 1\n"
    "dword  <local> - Orientation 1\n"
    "key    <local> Clients\n"
    "dword  <local> ProductControl RoamClient 1\n"
    "dword  <local> ProductControl RoamQuarantine 1\n"
    "dword  <local> ProductControl RoamAlerts 1\n"
    "dword  <local> ProductControl CheckParentIntervalInMinutes 1\n";

}  // namespace

std::string NetworkDescription() {
    std::string text = kServersAndSites;
    for (const std::string& server : kServers)
        text += "string " + server + " ClientConfig\\Quarantine " + kQuarantineOwnerValue + " " +
                server + "\n";
    std::string lists = kLists;
    for (size_t at = 0; at < lists.size();) {
        size_t end = lists.find('\n', at);
        text += "list " + lists.substr(at, end - at) + "\n";
        at = end + 1;
    }
    return text;
}

std::string ListTreeText() { return kLists; }

std::string ReadOwner(const char* role) {
    std::string word = role;
    std::optional<std::string> owner;
    if (word == "Parent")
        owner = e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent");
    else if (word == "Quarantine")
        owner = e2e::ReadString(HKEY_LOCAL_MACHINE, kQuarantineKey, kQuarantineOwnerValue);
    else if (word == "Alerts")
        owner = e2e::ReadString(HKEY_LOCAL_MACHINE, kCommonKey, kAlertsOwnerValue);
    return owner.value_or("");
}

}  // namespace soak
