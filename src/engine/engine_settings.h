#pragma once
// The engine's tuning, read once per engine start from ProductControl.

#include <windows.h>
#include <cstdint>

struct EngineSettingsRecord {
    uint32_t CheckForNewParentIntervalMs = 30u * 1000u;
    uint32_t CheckParentIntervalMs = 120u * 60000u;
    uint32_t FindNearestParentIntervalMs = 60u * 60000u;
    DWORD RoamClient = 1;
    DWORD RoamQuarantine = 0;
    DWORD RoamHPD = 0;
    DWORD RoamServer = 0;
    DWORD RoamAlerts = 0;
    DWORD RoamKPZ = 0;
    DWORD RoamWDR = 0;
};
extern EngineSettingsRecord EngineSettings;

int LoadEngineSettings();
// The same settings from another source of values (name, default), with the
// engine's own names, defaults and conversions.
using SettingSource = DWORD (*)(const char* name, DWORD defaultValue, void* context);
void FillEngineSettings(EngineSettingsRecord& settings, SettingSource source, void* context);
// Whether the settings make a role (a word of the role table) roam.
bool RoleRoams(const EngineSettingsRecord& settings, const char* role);
