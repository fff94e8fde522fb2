#pragma once
// The roles a machine can be managed in: the words that name them in value
// names and import lines, in the order the engine searches them, and the
// setting that makes each one roam. Import lines reach this table from
// outside, so it takes no Windows header.

#include <cstddef>
#include <string_view>

#include "common/text.h"

struct RoleEntry {
    const char* word;
    const char* roamSetting;
    bool roamsByDefault;  // only the client itself roams unless told otherwise
};

constexpr RoleEntry kRoleTable[] = {
    {"Parent", "RoamClient", true},  {"Quarantine", "RoamQuarantine", false},
    {"HPD", "RoamHPD", false},       {"KPZ", "RoamKPZ", false},
    {"WDR", "RoamWDR", false},       {"Primary", "RoamServer", false},
    {"Alerts", "RoamAlerts", false}};
constexpr size_t kRoleCount = sizeof kRoleTable / sizeof kRoleTable[0];

// The role a word names, whatever its case; null for no role.
inline const RoleEntry* FindRole(std::string_view word) {
    for (const RoleEntry& role : kRoleTable)
        if (EqualsNoCase(word, role.word)) return &role;
    return nullptr;
}
