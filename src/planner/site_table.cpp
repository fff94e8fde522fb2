// The table of sites as a plan uses it: its text, and the settings read the
// way the engine reads its own.

#include "planner/site_table.h"

#include <cstdio>

#include "common/handles.h"
#include "engine/nearest.h"
#include "planner/plan_text.h"

namespace {

constexpr char kTimesToAverage[] = "TimesToAverage";
constexpr char kWithoutWatching[] = "WithoutAddressWatchingPercent";
constexpr char kCloseCall[] = "CloseCallMs";
constexpr char kStartWindow[] = "StartWindowSeconds";
constexpr char kRegistrationDelay[] = "RegistrationDelayMs";
constexpr uint32_t kWholePercent = 100;

struct SettingReader {
    std::map<std::string, SiteSetting>* settings;
    std::map<std::string, bool> used;  // by NameKey
};

DWORD TableSetting(const char* name, DWORD defaultValue, void* context) {
    auto& reader = *static_cast<SettingReader*>(context);
    auto found = reader.settings->find(NameKey(name));
    if (found == reader.settings->end()) return defaultValue;
    reader.used[found->first] = true;
    return found->second.value;
}

// The engine's own reading of its settings, from the table, and the
// planner's: what neither asks for is not a setting.
bool ApplySettings(const char* path, SiteText& text, SiteTable* table, std::string* error) {
    SettingReader reader{&text.settings, {}};
    auto fail = [&](const SiteSetting& setting, const std::string& reason) {
        *error = Concat({path, ":", std::to_string(setting.line), ": ", reason});
        return false;
    };
    FillEngineSettings(table->engine, TableSetting, &reader);
    table->timesToAverage = static_cast<int32_t>(TableSetting(kTimesToAverage, 7, &reader));
    table->withoutAddressWatchingPercent = TableSetting(kWithoutWatching, 0, &reader);
    table->closeCallMs = TableSetting(kCloseCall, table->closeCallMs, &reader);
    table->startWindowSeconds = TableSetting(kStartWindow, 0, &reader);
    table->registrationDelayMs =
        TableSetting(kRegistrationDelay, table->registrationDelayMs, &reader);
    for (const auto& [key, setting] : text.settings) {
        if (!reader.used.count(key)) return fail(setting, Concat({"unknown setting ", setting.name}));
        if (key == NameKey(kWithoutWatching) && setting.value > kWholePercent)
            return fail(setting, Concat({setting.name, " is a share in percent, from 0 to ",
                                         std::to_string(kWholePercent)}));
    }
    return true;
}

}  // namespace

const SiteLatency* SiteTable::Latency(const Site& site, std::string_view server,
                                      const DownServers* down) const {
    static const SiteLatency kDown{0, true};
    std::string key = NameKey(server);
    if (down && down->count(key)) return &kDown;
    auto found = site.latencies.find(key);
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
    SiteText text;
    int line = 0;
    std::string reason;
    if (!ReadSiteText(file.get(), &text, &line, &reason)) {
        *error = line ? Concat({path, ":", std::to_string(line), ": ", reason})
                      : Concat({path, ": ", reason});
        return false;
    }
    if (!ApplySettings(path, text, table, error)) return false;
    if (text.sites.empty()) {
        *error = Concat({path, ": names no site"});
        return false;
    }
    table->sites = std::move(text.sites);
    table->clientCounts = std::move(text.clientCounts);
    return true;
}
