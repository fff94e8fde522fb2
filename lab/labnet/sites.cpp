// The sites of a lab network and the move between them: the servers'
// latencies from the new site, then the machine's addresses.

#include <windows.h>
#include <shlwapi.h>

#include <cstring>

#include "../common/lab_layout.h"
#include "common/handles.h"
#include "common/text.h"
#include "lab_store.h"
#include "labnet.h"

namespace lab {
namespace {

std::string SiteKeyPath(std::string_view site) {
    return std::string(kSitesKey) + "\\" + std::string(site);
}

bool SetDwordAt(HKEY key, const std::string& name, DWORD value) {
    return RegSetValueExA(key, name.c_str(), 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                          sizeof value) == ERROR_SUCCESS;
}

std::optional<DWORD> DwordAt(HKEY key, const char* name) {
    DWORD value = 0, type = 0, size = sizeof value;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD)
        return std::nullopt;
    return value;
}

std::string TextAt(HKEY key, const char* name) {
    char text[256] = "";
    DWORD type = 0, size = sizeof text - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
            ERROR_SUCCESS ||
        type != REG_SZ)
        return "";
    return std::string(text, strnlen(text, size));
}

// Every server gets the site's latency for it, or its plain one. site is null
// for the pseudo-site without an address.
bool ApplyLatencies(HKEY site) {
    RegKey servers, latencies;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServersKey, 0, KEY_READ, servers.put()))
        return true;  // a network without servers
    if (site) RegOpenKeyExA(site, kSiteLatencySubkey, 0, KEY_QUERY_VALUE, latencies.put());
    bool ok = true;
    for (const std::string& name : SubkeyNames(servers.get())) {
        RegKey server;
        if (RegOpenKeyExA(servers.get(), name.c_str(), 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                          server.put()))
            continue;
        std::optional<DWORD> latency;
        if (latencies) latency = DwordAt(latencies.get(), name.c_str());
        bool siteDown = latency == kSiteDownLatency;
        if (!latency || siteDown)
            latency = DwordAt(server.get(), kPlainLatencyValue).value_or(0);
        ok &= SetDwordAt(server.get(), kLatencyValue, *latency);
        // A server a description made does not lose its own down state: only
        // one the site makes unreachable goes down, and comes back after.
        std::optional<DWORD> plainDown = DwordAt(server.get(), kPlainDownValue);
        if (siteDown && !plainDown)
            ok &= SetDwordAt(server.get(), kPlainDownValue,
                             DwordAt(server.get(), kDownValue).value_or(0));
        if (siteDown)
            ok &= SetDwordAt(server.get(), kDownValue, 1);
        else if (plainDown)
            ok &= SetDwordAt(server.get(), kDownValue, *plainDown);
    }
    BumpGeneration();
    return ok;
}

void RecordCurrentSite(std::string_view site) {
    RegKey lab;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLabKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        lab.put(), nullptr))
        return;
    std::string text(site);
    RegSetValueExA(lab.get(), kCurrentSiteValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
}

}  // namespace

bool StoreSite(const std::string& name, const std::string& addresses,
               const std::map<std::string, DWORD>& latencies) {
    RegKey site, latency;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, SiteKeyPath(name).c_str(), 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, site.put(), nullptr) ||
        RegCreateKeyExA(site.get(), kSiteLatencySubkey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        latency.put(), nullptr))
        return false;
    bool ok = RegSetValueExA(site.get(), kSiteAddressesValue, 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(addresses.c_str()),
                             static_cast<DWORD>(addresses.size() + 1)) == ERROR_SUCCESS;
    for (const auto& [server, ms] : latencies) ok &= SetDwordAt(latency.get(), server, ms);
    return ok;
}

void RemoveSites() {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kSitesKey);
    RegKey lab;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabKey, 0, KEY_SET_VALUE, lab.put()) == ERROR_SUCCESS)
        RegDeleteValueA(lab.get(), kCurrentSiteValue);
}

std::vector<std::string> SiteAddresses(std::string_view site) {
    std::vector<std::string> addresses;
    RegKey key;
    if (site.empty() || site == kNoSite ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, SiteKeyPath(site).c_str(), 0, KEY_QUERY_VALUE,
                      key.put()))
        return addresses;
    std::string text = TextAt(key.get(), kSiteAddressesValue);
    for (size_t start = 0; start < text.size();) {
        size_t end = text.find(' ', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) addresses.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return addresses;
}

bool MoveToSite(std::string_view site, std::string* error) {
    RegKey key;
    const bool noSite = site == kNoSite;
    if (!noSite && (site.empty() || site.find('\\') != std::string_view::npos ||
                    RegOpenKeyExA(HKEY_LOCAL_MACHINE, SiteKeyPath(site).c_str(), 0, KEY_READ,
                                  key.put()))) {
        if (error) *error = "no site \"" + std::string(site) + "\" in the lab network";
        return false;
    }
    std::vector<std::string> addresses = SiteAddresses(site);
    // Refused before anything changes, e.g. outside the lab's namespace.
    if (!SetDeviceAddresses(addresses, true, error)) return false;
    if (!ApplyLatencies(key.get())) {
        if (error) *error = "the lab could not store the site's latencies";
        return false;
    }
    if (!SetDeviceAddresses(addresses, false, error)) return false;
    RecordCurrentSite(site);
    if (error) error->clear();
    return true;
}

namespace {

std::vector<std::string> ServerNames(HKEY servers) {
    return servers ? SubkeyNames(servers) : std::vector<std::string>();
}

// The lines below the site rows: the client counts the servers publish and
// this machine's TimesToAverage when the network sets it.
std::string CountsAndSettings(const std::vector<std::string>& names) {
    std::string table;
    std::string clients;
    for (const std::string& name : names)
        if (std::optional<DWORD> count = ReadDword(name, "ProductControl", "ClientCount"))
            clients += " " + name + "=" + std::to_string(*count);
    if (!clients.empty()) table += "clients" + clients + "\n";
    if (std::optional<DWORD> times =
            ReadDword(kLocalMachineName, "ProductControl", "TimesToAverage"))
        table += "TimesToAverage=" + std::to_string(*times) + "\n";
    return table;
}

}  // namespace

std::string PlannerSiteTable() {
    RegKey servers;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServersKey, 0, KEY_READ, servers.put());
    std::vector<std::string> names = ServerNames(servers.get());

    // A server's latency from a site: the site's own, else the plain one.
    auto siteLine = [&](const std::string& site, HKEY latencies) {
        std::string line = site;
        for (const std::string& name : names) {
            RegKey server;
            if (RegOpenKeyExA(servers.get(), name.c_str(), 0, KEY_QUERY_VALUE, server.put()))
                continue;
            std::optional<DWORD> latency;
            if (latencies) latency = DwordAt(latencies, name.c_str());
            bool down = latency == kSiteDownLatency;
            if (!latency || down) latency = DwordAt(server.get(), kPlainLatencyValue).value_or(0);
            std::optional<DWORD> plainDown = DwordAt(server.get(), kPlainDownValue);
            if (!plainDown) plainDown = DwordAt(server.get(), kDownValue);
            down = down || plainDown.value_or(0) != 0;
            line += " " + name + "=" + (down ? std::string("down") : std::to_string(*latency));
        }
        return line + "\n";
    };

    std::string table = "# The lab network's sites, latencies in ms (perchplan's site table)\n";
    RegKey sites;
    std::vector<std::string> siteNames;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSitesKey, 0, KEY_READ, sites.put()) == ERROR_SUCCESS)
        siteNames = SubkeyNames(sites.get());
    for (const std::string& site : siteNames) {
        RegKey latencies;
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, (SiteKeyPath(site) + "\\" + kSiteLatencySubkey).c_str(),
                      0, KEY_QUERY_VALUE, latencies.put());
        table += siteLine(site, latencies.get());
    }
    if (siteNames.empty()) table += siteLine("PLAIN", nullptr);
    return table + CountsAndSettings(names);
}

std::string SiteTableNow() {
    RegKey servers;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServersKey, 0, KEY_READ, servers.put());
    std::vector<std::string> names = ServerNames(servers.get());
    std::string line = "# The servers as this machine reaches them now (perchplan's site table)\n";
    line += kNowSite;
    for (const std::string& name : names) {
        RegKey server;
        if (RegOpenKeyExA(servers.get(), name.c_str(), 0, KEY_QUERY_VALUE, server.put())) continue;
        bool down = DwordAt(server.get(), kDownValue).value_or(0) != 0;
        DWORD latency = DwordAt(server.get(), kLatencyValue).value_or(0);
        line += " " + name + "=" + (down ? std::string("down") : std::to_string(latency));
    }
    return line + "\n" + CountsAndSettings(names);
}

bool SetReachable(std::string_view name, bool reachable) {
    RegKey server;
    if (!ServerExists(name) || RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServerKeyPath(name).c_str(), 0,
                                             KEY_QUERY_VALUE | KEY_SET_VALUE, server.put()))
        return false;
    // Kept as the site's own "down" is, so that the next move gives the
    // server its reachability from the new site again.
    bool ok = true;
    if (!DwordAt(server.get(), kPlainDownValue))
        ok &= SetDwordAt(server.get(), kPlainDownValue,
                         DwordAt(server.get(), kDownValue).value_or(0));
    ok &= SetDwordAt(server.get(), kDownValue, reachable ? 0 : 1);
    BumpGeneration();
    return ok;
}

bool SetLatency(std::string_view server, DWORD ms) {
    return SetBehaviour(server, kLatencyValue, ms);
}

bool RefuseWrites(std::string_view server, DWORD status) {
    return SetBehaviour(server, kFailWriteValue, status);
}

bool ClientJoins(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos &&
           CreateKey(kLocalMachineName, "Clients\\" + std::string(name));
}

bool ClientLeaves(std::string_view name) {
    return !name.empty() && name.find('\\') == std::string_view::npos &&
           DeleteKey(kLocalMachineName, "Clients\\" + std::string(name));
}

std::string CurrentSite() {
    RegKey lab;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabKey, 0, KEY_QUERY_VALUE, lab.put())) return "";
    return TextAt(lab.get(), kCurrentSiteValue);
}

}  // namespace lab
