#pragma once
// The text of the administrator's table of sites, read line by line: the
// sites with their machines and latencies, the client counts servers
// publish, and settings by name. The table is text from outside, so this
// reading takes no Windows header: it is built natively as well and fuzzed
// there. What the settings mean is the caller's.

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <vector>

constexpr size_t kMaxSites = 1000;
constexpr uint32_t kMaxLatencyMs = 3600000;
constexpr uint32_t kMaxMachines = 1000000;
constexpr uint32_t kMaxClientCount = 0x7FFFFFFF;

struct SiteLatency {
    uint32_t ms = 0;
    bool down = false;
};

struct Site {
    std::string name;
    uint32_t machines = 1;
    std::map<std::string, SiteLatency> latencies;  // by NameKey
};

struct SiteSetting {
    std::string name;  // as written
    uint32_t value;
    int line;
};

struct SiteText {
    std::vector<Site> sites;
    std::map<std::string, int32_t> clientCounts;  // by NameKey
    std::map<std::string, SiteSetting> settings;  // by NameKey
};

// The key of a server, site or setting name: names do not mind the case.
std::string NameKey(std::string_view name);

// Reads the lines of file into *text; false at the first line that is not
// valid, with its number in *line and the reason in *reason (line 0: the
// file could not be read). A file that names no site is valid here.
bool ReadSiteText(FILE* file, SiteText* text, int* line, std::string* reason);
