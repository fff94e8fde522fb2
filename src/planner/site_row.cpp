#include "planner/site_row.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "engine/timing.h"
#include "lists/import_line.h"
#include "output/output.h"
#include "planner/file_text.h"
#include "planner/plan_text.h"
#include "planner/site_text.h"

namespace {

constexpr unsigned kMsgTimingPass = 94;
constexpr size_t kMaxRunLines = 1000000;
// The average a pass prints for a server none of whose samples answered.
constexpr int64_t kNoAverage = static_cast<int32_t>(SAMPLE_FAILED);

// A word the site table reads as this site's name.
bool UsableSiteName(std::string_view name) {
    if (name.empty() || name.size() >= kServerNameSize || name[0] == '#' ||
        EqualsNoCase(name, "clients"))
        return false;
    for (char c : name)
        if (static_cast<unsigned char>(c) <= ' ' || c == '=') return false;
    return true;
}

struct Server {
    std::string name;
    std::vector<int64_t> averages;  // of the passes with a successful sample
};

}  // namespace

bool MakeSiteRow(const char* name, const char* path, std::string* row, std::string* error) {
    if (!UsableSiteName(name)) {
        *error = Concat({"--site-row ", Quoted(name), ": a site name is one word of 1 to ",
                         std::to_string(kServerNameSize - 1),
                         " characters, without \"=\", not starting with \"#\""});
        return false;
    }
    StdioFile file(std::fopen(path, "rb"));
    if (!file) {
        *error = Concat({path, ": cannot be read"});
        return false;
    }
    char format[kTextSize];
    LoadMessage(kMsgTimingPass, format);
    std::string_view pass(format);
    while (!pass.empty() && pass.back() == '\n') pass.remove_suffix(1);

    std::vector<Server> servers;
    std::map<std::string, size_t> index;  // by NameKey
    std::vector<std::string> values;
    FileLines lines(file.get());
    if (!lines.Problem().empty()) {
        *error = Concat({path, ": ", lines.Problem()});
        return false;
    }
    auto line = std::make_unique<NormalisedLine>();
    size_t number = 0;
    while (lines.Next(*line)) {
        if (++number > kMaxRunLines) {
            *error = Concat({path, ": more than ", std::to_string(kMaxRunLines), " lines"});
            return false;
        }
        // A line too long or with control bytes is none of the run's averages.
        if (line->IsDamaged()) continue;
        // Fields: seconds, server, average, separator, the samples.
        if (!MatchesMessageText(pass, std::string_view(line->Text(), line->Length()), &values) ||
            values.size() < 3)
            continue;
        const std::string& server = values[1];
        if (lines.Unheld() != std::string_view::npos) {
            *error = Concat({path, ":", std::to_string(number),
                             ": a character that code page 1252 lacks, at column ",
                             std::to_string(lines.Unheld() + 1)});
            return false;
        }
        if (server.size() >= kServerNameSize) {
            *error = Concat({path, ":", std::to_string(number), ": a server name of ",
                             std::to_string(server.size()), " characters"});
            return false;
        }
        auto [entry, isNew] = index.emplace(NameKey(server), servers.size());
        if (isNew) servers.push_back({server, {}});
        if (values[2] == std::to_string(kNoAverage)) continue;
        uint32_t average = 0;
        if (!ReadWholeNumber(values[2], kMaxLatencyMs, &average)) {
            *error = Concat({path, ":", std::to_string(number), ": an average of ", values[2],
                             " ms"});
            return false;
        }
        servers[entry->second].averages.push_back(average);
    }
    if (servers.empty()) {
        *error = Concat({path, ": no line of averages of \"perchman /time_network\""});
        return false;
    }
    *row = name;
    for (Server& server : servers) {
        std::vector<int64_t>& averages = server.averages;
        std::string value = "down";
        if (!averages.empty()) {
            std::sort(averages.begin(), averages.end());
            size_t middle = averages.size() / 2;
            int64_t median = averages.size() % 2
                                 ? averages[middle]
                                 : (averages[middle - 1] + averages[middle] + 1) / 2;
            value = std::to_string(median);
        }
        *row += Concat({" ", server.name, "=", value});
    }
    return true;
}
