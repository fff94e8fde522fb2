// The table of sites is written by hand. Whatever its bytes: a refusal names
// a line of the file and a reason; an accepted table keeps every bound, reads
// the same behind a UTF-8 byte-order mark, and written back as a table (in
// UTF-8) it reads back as the very same table.

#include <cstdint>
#include <cstdio>
#include <set>
#include <string>

#include "fuzz_check.h"
#include "planner/file_text.h"
#include "planner/site_text.h"

namespace {

bool Read(const std::string& bytes, SiteText* text, int* line, std::string* reason) {
    // fmemopen refuses an empty buffer; an empty table has no lines.
    if (bytes.empty()) return true;
    FILE* file = fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
    FUZZ_CHECK(file != nullptr);
    bool read = ReadSiteText(file, text, line, reason);
    std::fclose(file);
    return read;
}

void CheckBounds(const SiteText& text) {
    FUZZ_CHECK(text.sites.size() <= kMaxSites);
    std::set<std::string> names;
    for (const Site& site : text.sites) {
        FUZZ_CHECK(!site.name.empty() && site.name.size() < 128);
        FUZZ_CHECK(names.insert(NameKey(site.name)).second);
        FUZZ_CHECK(site.machines <= kMaxMachines);
        for (const auto& [server, latency] : site.latencies) {
            FUZZ_CHECK(!server.empty() && server.size() < 128 && server == NameKey(server));
            FUZZ_CHECK(latency.down ? latency.ms == 0 : latency.ms <= kMaxLatencyMs);
        }
    }
    for (const auto& [server, count] : text.clientCounts)
        FUZZ_CHECK(!server.empty() && count >= 0);
    for (const auto& [key, setting] : text.settings)
        FUZZ_CHECK(!setting.name.empty() && NameKey(setting.name) == key);
}

std::string WrittenBack(const SiteText& text) {
    std::string table;
    for (const Site& site : text.sites) {
        table += site.name + " " + std::to_string(site.machines);
        for (const auto& [server, latency] : site.latencies)
            table += " " + server + "=" + (latency.down ? "down" : std::to_string(latency.ms));
        table += "\n";
    }
    for (const auto& [server, count] : text.clientCounts)
        table += "clients " + server + "=" + std::to_string(count) + "\n";
    for (const auto& [key, setting] : text.settings)
        table += setting.name + "=" + std::to_string(setting.value) + "\n";
    return Utf8FromAnsi(table);
}

bool SameTable(const SiteText& a, const SiteText& b) {
    if (a.sites.size() != b.sites.size() || a.clientCounts != b.clientCounts ||
        a.settings.size() != b.settings.size())
        return false;
    for (size_t i = 0; i < a.sites.size(); ++i) {
        const Site &x = a.sites[i], &y = b.sites[i];
        if (x.name != y.name || x.machines != y.machines ||
            x.latencies.size() != y.latencies.size())
            return false;
        for (const auto& [server, latency] : x.latencies) {
            auto other = y.latencies.find(server);
            if (other == y.latencies.end() || other->second.down != latency.down ||
                other->second.ms != latency.ms)
                return false;
        }
    }
    for (const auto& [key, setting] : a.settings) {
        auto other = b.settings.find(key);
        if (other == b.settings.end() || other->second.value != setting.value) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    SiteText text;
    int line = 0;
    std::string reason;
    if (!Read(bytes, &text, &line, &reason)) {
        size_t lines = 1;
        for (char c : bytes) lines += c == '\n';
        FUZZ_CHECK(line >= 1 && static_cast<size_t>(line) <= lines && !reason.empty());
        return 0;
    }
    CheckBounds(text);
    const std::string mark = "\xEF\xBB\xBF";
    if (bytes.compare(0, mark.size(), mark) != 0) {
        SiteText marked;
        FUZZ_CHECK(Read(mark + bytes, &marked, &line, &reason));
        FUZZ_CHECK(SameTable(text, marked));
    }
    SiteText again;
    FUZZ_CHECK(Read(WrittenBack(text), &again, &line, &reason));
    FUZZ_CHECK(SameTable(text, again));
    return 0;
}
