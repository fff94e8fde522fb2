// Reading the table of sites. The table is written by hand, so every fault
// is refused with its line rather than guessed around.

#include "planner/site_table.h"

#include <cstdio>

#include "common/handles.h"
#include "common/text.h"
#include "engine/nearest.h"
#include "lists/import.h"
#include "planner/plan_text.h"

namespace {

constexpr size_t kMaxSites = 1000;
constexpr uint32_t kMaxLatencyMs = 3600000;
constexpr uint32_t kMaxMachines = 1000000;
constexpr uint32_t kMaxClientCount = 0x7FFFFFFF;
constexpr char kClientsWord[] = "clients";
constexpr char kDownWord[] = "down";
constexpr char kTimesToAverage[] = "TimesToAverage";

struct Setting {
    std::string name;  // as written
    uint32_t value;
    int line;
    bool used = false;
};

struct TableReader {
    const char* path;
    SiteTable* table;
    std::string* error;
    int line = 0;
    std::map<std::string, int> siteLines;    // by upper-case site name
    std::map<std::string, int> clientLines;  // by upper-case server name
    std::map<std::string, Setting> settings;  // by upper-case setting name

    bool Fail(const std::string& reason) {
        *error = Concat({path, ":", std::to_string(line), ": ", reason});
        return false;
    }
};

std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        size_t blank = text.find(' ');
        std::string_view word = text.substr(0, blank);
        if (!word.empty() && word.front() == '#') break;  // the rest of the line is a comment
        if (!word.empty()) words.push_back(word);
        if (blank == std::string_view::npos) break;
        text.remove_prefix(blank + 1);
    }
    return words;
}

// NAME=VALUE split at its first "=" (names in lists never hold one).
bool SplitPair(std::string_view word, std::string_view* name, std::string_view* value) {
    size_t equals = word.find('=');
    if (equals == std::string_view::npos) return false;
    *name = word.substr(0, equals);
    *value = word.substr(equals + 1);
    return true;
}

// A name the program could ever choose: what does not fit its 128-byte
// result or holds a control character could never be matched by a site.
bool CheckName(TableReader& r, std::string_view name, const char* what) {
    if (name.empty()) return r.Fail(Concat({"a ", what, " without a name"}));
    if (name.size() >= kServerNameSize)
        return r.Fail(Concat({"a ", what, " name of ", std::to_string(name.size()),
                              " characters: names of 128 or more are never chosen"}));
    return true;
}

bool ReadLatency(TableReader& r, Site& site, std::string_view word) {
    std::string_view server, value;
    if (!SplitPair(word, &server, &value))
        return r.Fail(Concat({Quoted(word), ": expected SERVER=MILLISECONDS or SERVER=down"}));
    if (!CheckName(r, server, "server")) return false;
    SiteLatency latency;
    if (EqualsNoCase(value, kDownWord))
        latency.down = true;
    else if (!ReadWholeNumber(value, kMaxLatencyMs, &latency.ms))
        return r.Fail(Concat({Quoted(word), ": a latency is a whole number of milliseconds "
                              "from 0 to 3600000, or down"}));
    if (!site.latencies.emplace(NameKey(server), latency).second)
        return r.Fail(Concat({"server ", server, " appears twice for site ", site.name}));
    return true;
}

bool ReadSite(TableReader& r, const std::vector<std::string_view>& words) {
    if (!CheckName(r, words[0], "site")) return false;
    auto [first, isNew] = r.siteLines.emplace(NameKey(words[0]), r.line);
    if (!isNew)
        return r.Fail(Concat({"site ", words[0], " is already on line ",
                              std::to_string(first->second)}));
    if (r.table->sites.size() >= kMaxSites)
        return r.Fail(Concat({"more than ", std::to_string(kMaxSites), " sites"}));
    Site site;
    site.name = std::string(words[0]);
    size_t next = 1;
    if (next < words.size() && words[next].find('=') == std::string_view::npos) {
        if (!ReadWholeNumber(words[next], kMaxMachines, &site.machines))
            return r.Fail(Concat({Quoted(words[next]), ": the number of client machines at a "
                                  "site is a whole number from 0 to 1000000"}));
        ++next;
    }
    for (; next < words.size(); ++next)
        if (!ReadLatency(r, site, words[next])) return false;
    r.table->sites.push_back(std::move(site));
    return true;
}

bool ReadClientCounts(TableReader& r, const std::vector<std::string_view>& words) {
    for (size_t i = 1; i < words.size(); ++i) {
        std::string_view server, value;
        uint32_t count = 0;
        if (!SplitPair(words[i], &server, &value))
            return r.Fail(Concat({Quoted(words[i]), ": expected SERVER=CLIENTS"}));
        if (!CheckName(r, server, "server")) return false;
        if (!ReadWholeNumber(value, kMaxClientCount, &count))
            return r.Fail(Concat({Quoted(words[i]), ": a client count is a whole number from 0 "
                                  "to 2147483647"}));
        auto [first, isNew] = r.clientLines.emplace(NameKey(server), r.line);
        if (!isNew)
            return r.Fail(Concat({"the client count of ", server, " is already on line ",
                                  std::to_string(first->second)}));
        r.table->clientCounts[NameKey(server)] = static_cast<int32_t>(count);
    }
    return true;
}

bool ReadSettings(TableReader& r, const std::vector<std::string_view>& words) {
    for (std::string_view word : words) {
        std::string_view name, value;
        uint32_t number = 0;
        if (!SplitPair(word, &name, &value) || name.empty())
            return r.Fail(Concat({Quoted(word), ": expected SETTING=NUMBER"}));
        if (!ReadWholeNumber(value, UINT32_MAX, &number))
            return r.Fail(Concat({Quoted(word), ": a setting is a whole number from 0 to "
                                  "4294967295"}));
        auto [first, isNew] =
            r.settings.emplace(NameKey(name), Setting{std::string(name), number, r.line});
        if (!isNew)
            return r.Fail(Concat({"setting ", name, " is already on line ",
                                  std::to_string(first->second.line)}));
    }
    return true;
}

bool ReadLine(TableReader& r, const NormalisedLine& text) {
    if (text.IsEmpty() || text.IsComment()) return true;
    if (text.IsDamaged())
        return r.Fail("a line of more than 4095 characters, or with a control character");
    std::vector<std::string_view> words = Words(std::string_view(text.Text(), text.Length()));
    if (words.empty()) return true;
    if (words[0].find('=') != std::string_view::npos) return ReadSettings(r, words);
    if (EqualsNoCase(words[0], kClientsWord)) return ReadClientCounts(r, words);
    return ReadSite(r, words);
}

DWORD TableSetting(const char* name, DWORD defaultValue, void* context) {
    auto& settings = *static_cast<std::map<std::string, Setting>*>(context);
    auto found = settings.find(NameKey(name));
    if (found == settings.end()) return defaultValue;
    found->second.used = true;
    return found->second.value;
}

// The engine's own reading of its settings, from the table: what it never
// asks for is not a setting of the engine.
bool ApplySettings(TableReader& r) {
    FillEngineSettings(r.table->engine, TableSetting, &r.settings);
    r.table->timesToAverage =
        static_cast<int32_t>(TableSetting(kTimesToAverage, 7, &r.settings));
    for (const auto& [key, setting] : r.settings) {
        if (setting.used) continue;
        r.line = setting.line;
        return r.Fail(Concat({"unknown setting ", setting.name}));
    }
    return true;
}

}  // namespace

std::string NameKey(std::string_view name) {
    std::string key(name);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

const SiteLatency* SiteTable::Latency(const Site& site, std::string_view server) const {
    auto found = site.latencies.find(NameKey(server));
    return found == site.latencies.end() ? nullptr : &found->second;
}

int32_t SiteTable::ClientCount(std::string_view server) const {
    auto found = clientCounts.find(NameKey(server));
    return found == clientCounts.end() ? CLIENTS_UNKNOWN : found->second;
}

bool ReadSiteTable(const char* path, SiteTable* table, std::string* error) {
    StdioFile file(std::fopen(path, "rb"));
    if (!file) {
        *error = Concat({path, ": cannot be read"});
        return false;
    }
    TableReader reader{path, table, error, 0, {}, {}, {}};
    LineReader lines(file.get());
    NormalisedLine text;
    while (lines.Next(text)) {
        ++reader.line;
        if (!ReadLine(reader, text)) return false;
    }
    if (std::ferror(file.get())) {
        *error = Concat({path, ": cannot be read"});
        return false;
    }
    if (!ApplySettings(reader)) return false;
    if (table->sites.empty()) {
        *error = Concat({path, ": names no site"});
        return false;
    }
    return true;
}
