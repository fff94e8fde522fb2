// The engine's tuning from ProductControl, read once per engine start.

#include "engine/engine_settings.h"

#include "product/product_keys.h"
#include "product/product_library.h"

EngineSettingsRecord EngineSettings;

namespace {

constexpr uint32_t kMsPerSecond = 1000;
constexpr uint32_t kMsPerMinute = 60000;

// The longest period a waitable timer takes (a signed 32-bit count of ms).
constexpr uint64_t kLongestIntervalMs = 0x7FFFFFFF;

DWORD Setting(const char* name, DWORD defaultValue) {
    return GetDwordValue(Keys.ProductControl, name, defaultValue);
}

// An interval too long for 32 bits must neither wrap into a short one nor
// become a negative timer period: it is held at about 24.8 days.
uint32_t IntervalMs(const char* name, DWORD defaultValue, uint32_t msPerUnit) {
    uint64_t ms = static_cast<uint64_t>(Setting(name, defaultValue)) * msPerUnit;
    return static_cast<uint32_t>(ms < kLongestIntervalMs ? ms : kLongestIntervalMs);
}

}  // namespace

int LoadEngineSettings() {
    EngineSettingsRecord& s = EngineSettings;
    s.CheckForNewParentIntervalMs =
        IntervalMs("CheckForNewParentIntervalInSeconds", 30, kMsPerSecond);
    s.CheckParentIntervalMs = IntervalMs("CheckParentIntervalInMinutes", 120, kMsPerMinute);
    s.FindNearestParentIntervalMs =
        IntervalMs("FindNearestParentIntervalInMinutes", 60, kMsPerMinute);
    s.RoamClient = Setting("RoamClient", 1);
    s.RoamQuarantine = Setting("RoamQuarantine", 0);
    s.RoamHPD = Setting("RoamHPD", 0);
    s.RoamServer = Setting("RoamServer", 0);
    s.RoamAlerts = Setting("RoamAlerts", 0);
    s.RoamKPZ = Setting("RoamKPZ", 0);
    s.RoamWDR = Setting("RoamWDR", 0);
    return 0;
}
