// Reading the lines of the table of sites. The table is written by hand, so
// every fault is refused with its line rather than guessed around.

#include "planner/site_text.h"

#include <memory>

#include "product/server_list.h"
#include "lists/import_line.h"
#include "planner/file_text.h"
#include "planner/plan_text.h"

namespace {

constexpr char kClientsWord[] = "clients";
constexpr char kDownWord[] = "down";

struct TableReader {
    SiteText* text;
    std::string* reason;
    std::map<std::string, int> siteLines;    // by NameKey
    std::map<std::string, int> clientLines;  // by NameKey
    int line = 0;

    bool Fail(const std::string& why) {
        *reason = why;
        return false;
    }
};

// The words of a line up to a word that starts with "#": the rest of the
// line is a comment.
std::vector<std::string_view> Words(std::string_view text) {
    std::vector<std::string_view> words;
    while (!text.empty()) {
        size_t blank = text.find(' ');
        std::string_view word = text.substr(0, blank);
        if (!word.empty() && word.front() == '#') break;
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

// A name the program could ever choose: what does not fit its result buffer
// could never be matched by a site.
bool CheckName(TableReader& r, std::string_view name, const char* what) {
    if (name.empty()) return r.Fail(Concat({"a ", what, " without a name"}));
    if (name.size() >= kServerNameSize)
        return r.Fail(Concat({"a ", what, " name of ", std::to_string(name.size()),
                              " characters: names of ", std::to_string(kServerNameSize),
                              " or more are never chosen"}));
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
                              "from 0 to ", std::to_string(kMaxLatencyMs), ", or down"}));
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
    if (r.text->sites.size() >= kMaxSites)
        return r.Fail(Concat({"more than ", std::to_string(kMaxSites), " sites"}));
    Site site;
    site.name = std::string(words[0]);
    size_t next = 1;
    if (next < words.size() && words[next].find('=') == std::string_view::npos) {
        if (!ReadWholeNumber(words[next], kMaxMachines, &site.machines))
            return r.Fail(Concat({Quoted(words[next]), ": the number of client machines at a "
                                  "site is a whole number from 0 to ",
                                  std::to_string(kMaxMachines)}));
        ++next;
    }
    for (; next < words.size(); ++next)
        if (!ReadLatency(r, site, words[next])) return false;
    r.text->sites.push_back(std::move(site));
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
                                  "to ", std::to_string(kMaxClientCount)}));
        auto [first, isNew] = r.clientLines.emplace(NameKey(server), r.line);
        if (!isNew)
            return r.Fail(Concat({"the client count of ", server, " is already on line ",
                                  std::to_string(first->second)}));
        r.text->clientCounts[NameKey(server)] = static_cast<int32_t>(count);
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
            return r.Fail(Concat({Quoted(word), ": a setting is a whole number from 0 to ",
                                  std::to_string(UINT32_MAX)}));
        auto [first, isNew] =
            r.text->settings.emplace(NameKey(name), SiteSetting{std::string(name), number, r.line});
        if (!isNew)
            return r.Fail(Concat({"setting ", name, " is already on line ",
                                  std::to_string(first->second.line)}));
    }
    return true;
}

// Where the comment of a line starts: at its first word that starts with "#".
size_t CommentStart(std::string_view text) {
    for (size_t i = 0; i < text.size(); ++i)
        if (text[i] == '#' && (i == 0 || text[i - 1] == ' ')) return i;
    return text.size();
}

bool ReadLine(TableReader& r, const NormalisedLine& text, size_t unheld) {
    if (text.IsEmpty() || text.IsComment()) return true;
    if (text.IsDamaged())
        return r.Fail(Concat({"a line of more than ", std::to_string(kImportLineSize - 1),
                              " characters, or with a control character"}));
    std::string_view line(text.Text(), text.Length());
    if (unheld < CommentStart(line))
        return r.Fail(Concat({"a character that code page 1252 lacks, at column ",
                              std::to_string(unheld + 1),
                              ": the program holds names in that code page"}));
    std::vector<std::string_view> words = Words(line);
    if (words.empty()) return true;
    if (words[0].find('=') != std::string_view::npos) return ReadSettings(r, words);
    if (EqualsNoCase(words[0], kClientsWord)) return ReadClientCounts(r, words);
    return ReadSite(r, words);
}

}  // namespace

std::string NameKey(std::string_view name) {
    std::string key(name);
    for (char& c : key)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return key;
}

bool ReadSiteText(FILE* file, SiteText* text, int* line, std::string* reason) {
    TableReader reader{text, reason, {}, {}};
    FileLines lines(file);
    if (!lines.Problem().empty()) {
        *line = 0;
        *reason = lines.Problem();
        return false;
    }
    auto normalised = std::make_unique<NormalisedLine>();
    while (lines.Next(*normalised)) {
        ++reader.line;
        if (!ReadLine(reader, *normalised, lines.Unheld())) {
            *line = reader.line;
            return false;
        }
    }
    return true;
}
