#include "soak_model.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "labnet.h"
#include "planner/plan_walk.h"
#include "planner/site_table.h"
#include "soak_network.h"

namespace soak {
namespace {

// What a probe of a server that does not answer costs: the lab's time-out.
constexpr uint32_t kDownProbeMs = 200;

std::string TempPath(const char* leaf) {
    char folder[MAX_PATH] = "";
    GetTempPathA(sizeof folder, folder);
    return std::string(folder) + leaf;
}

bool WriteWhole(const std::string& path, const std::string& text) {
    FILE* file = std::fopen(path.c_str(), "wb");
    if (!file) return false;
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    return std::fclose(file) == 0 && written;
}

Choice ChoiceOf(const PlannedWalk& walk, int32_t timesToAverage) {
    Choice choice{walk.candidates.empty() ? walk.winner : "", UINT32_MAX, 0};
    for (const PlannedLevel& level : walk.levels) {
        for (const Margin* margin : {&level.runnerUp, &level.limit})
            if (margin->present) choice.closestMs = std::min(choice.closestMs, margin->Ms());
        for (const PlannedServer& server : level.servers) {
            uint32_t probeMs = server.unreachable == Unreachable::No ? server.averageMs : kDownProbeMs;
            choice.searchMs += static_cast<uint32_t>(timesToAverage + 1) * probeMs;
        }
    }
    if (choice.closestMs == UINT32_MAX) choice.closestMs = 0;
    return choice;
}

// The entry's span in the first site line: after "SERVER=" up to the blank.
bool FindEntry(const std::string& table, const std::string& server, size_t* begin, size_t* end) {
    size_t line = table.find(std::string(lab::kNowSite) + " ");
    if (line == std::string::npos) return false;
    size_t lineEnd = table.find('\n', line);
    std::string key = " " + server + "=";
    size_t at = table.find(key, line);
    if (at == std::string::npos || at > lineEnd) return false;
    *begin = at + key.size();
    *end = std::min(table.find_first_of(" \n", *begin), lineEnd);
    return true;
}

}  // namespace

bool Choices::Decisive() const {
    for (const auto& [role, choice] : byRole) {
        if (choice.server.empty()) return false;
        if (choice.closestMs != 0 && choice.closestMs < kDecisiveMarginMs) return false;
    }
    return true;
}

uint32_t Choices::SearchMs() const {
    uint32_t total = 0;
    for (const auto& [role, choice] : byRole) total += choice.searchMs;
    return total;
}

std::string Choices::Describe() const {
    std::ostringstream text;
    for (const auto& [role, choice] : byRole)
        text << role << " " << (choice.server.empty() ? "(none)" : choice.server) << " (margin "
             << choice.closestMs << " ms) ";
    return text.str();
}

bool Model::Load(const std::string& treeText, std::string* error) {
    std::string path = TempPath("roaming_soak_tree.txt");
    if (!WriteWhole(path, treeText)) {
        *error = "cannot write " + path;
        return false;
    }
    bool read = ReadListTree(path.c_str(), &tree_, error);
    DeleteFileA(path.c_str());
    return read;
}

bool Model::Choose(const std::string& siteTable, Choices* choices, std::string* error) const {
    std::string path = TempPath("roaming_soak_sites.txt");
    SiteTable table;
    if (!WriteWhole(path, siteTable) || !ReadSiteTable(path.c_str(), &table, error) ||
        table.sites.empty()) {
        if (error->empty()) *error = "the lab's site table could not be read: " + siteTable;
        return false;
    }
    DeleteFileA(path.c_str());
    choices->byRole.clear();
    size_t levelsLeft = 10000;
    for (const RoamingRole& role : kRoamingRoles) {
        PlannedWalk walk;
        if (!PlanWalk(tree_, table, table.sites.front(), role.word, &levelsLeft, &walk)) {
            *error = std::string("the tree has no level-0 list for ") + role.word;
            return false;
        }
        choices->byRole[role.word] = ChoiceOf(walk, table.timesToAverage);
    }
    return true;
}

std::string WithServer(const std::string& siteTable, const std::string& server,
                       const std::string& entry) {
    size_t begin = 0, end = 0;
    if (!FindEntry(siteTable, server, &begin, &end)) return siteTable;
    return siteTable.substr(0, begin) + entry + siteTable.substr(end);
}

std::string EntryOf(const std::string& siteTable, const std::string& server) {
    size_t begin = 0, end = 0;
    if (!FindEntry(siteTable, server, &begin, &end)) return "";
    return siteTable.substr(begin, end - begin);
}

}  // namespace soak
