// The engine's tuning from ProductControl, read once per engine start.

#include "engine/engine_settings.h"

#include <cstring>

#include "engine/role_table.h"

#include "product/product_keys.h"
#include "product/product_library.h"

EngineSettingsRecord EngineSettings;

namespace {

constexpr uint32_t kMsPerSecond = 1000;
constexpr uint32_t kMsPerMinute = 60000;

// The longest period a waitable timer takes (a signed 32-bit count of ms).
constexpr uint64_t kLongestIntervalMs = 0x7FFFFFFF;
// The shortest: 0 asks for the work at every opportunity, which the loops
// take as once a second; a search that finds nothing would otherwise retry
// with no pause at all.
constexpr uint64_t kShortestIntervalMs = 1000;

DWORD RegistrySetting(const char* name, DWORD defaultValue, void*) {
    return GetDwordValue(Keys.ProductControl, name, defaultValue);
}

// An interval too long for 32 bits must neither wrap into a short one nor
// become a negative timer period: it is held at about 24.8 days.
uint32_t IntervalMs(DWORD value, uint32_t msPerUnit) {
    uint64_t ms = static_cast<uint64_t>(value) * msPerUnit;
    if (ms < kShortestIntervalMs) ms = kShortestIntervalMs;
    return static_cast<uint32_t>(ms < kLongestIntervalMs ? ms : kLongestIntervalMs);
}

// The record's switch of each role, in the role table's order. The settings
// are still read one by one in their old order: reading them in the table's
// order through these pointers made the Windows 9x loop end without writing
// "LastNetAddress" under the lab, for a reason not found yet.
constexpr DWORD EngineSettingsRecord::*kRoamSwitches[] = {
    &EngineSettingsRecord::RoamClient, &EngineSettingsRecord::RoamQuarantine,
    &EngineSettingsRecord::RoamHPD,    &EngineSettingsRecord::RoamKPZ,
    &EngineSettingsRecord::RoamWDR,    &EngineSettingsRecord::RoamServer,
    &EngineSettingsRecord::RoamAlerts};
static_assert(sizeof kRoamSwitches / sizeof kRoamSwitches[0] == kRoleCount);

}  // namespace

void FillEngineSettings(EngineSettingsRecord& s, SettingSource source, void* context) {
    auto setting = [&](const char* name, DWORD defaultValue) {
        return source(name, defaultValue, context);
    };
    s.CheckForNewParentIntervalMs =
        IntervalMs(setting("CheckForNewParentIntervalInSeconds", 30), kMsPerSecond);
    s.CheckParentIntervalMs = IntervalMs(setting("CheckParentIntervalInMinutes", 120), kMsPerMinute);
    s.FindNearestParentIntervalMs =
        IntervalMs(setting("FindNearestParentIntervalInMinutes", 60), kMsPerMinute);
    s.RoamClient = setting("RoamClient", 1);
    s.RoamQuarantine = setting("RoamQuarantine", 0);
    s.RoamHPD = setting("RoamHPD", 0);
    s.RoamServer = setting("RoamServer", 0);
    s.RoamAlerts = setting("RoamAlerts", 0);
    s.RoamKPZ = setting("RoamKPZ", 0);
    s.RoamWDR = setting("RoamWDR", 0);
}

bool RoleRoams(const EngineSettingsRecord& settings, const char* role) {
    for (size_t i = 0; i < kRoleCount; ++i)
        if (std::strcmp(kRoleTable[i].word, role) == 0) return settings.*kRoamSwitches[i] != 0;
    return false;
}

int LoadEngineSettings() {
    FillEngineSettings(EngineSettings, RegistrySetting, nullptr);
    return 0;
}
