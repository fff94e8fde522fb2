// The engine's tuning from ProductControl, read once per engine start.

#include "engine/engine_settings.h"

#include "product/product_keys.h"
#include "product/product_library.h"

EngineSettingsRecord EngineSettings;

namespace {

constexpr uint32_t kMsPerSecond = 1000;
constexpr uint32_t kMsPerMinute = 60000;

DWORD Setting(const char* name, DWORD defaultValue) {
    return GetDwordValue(Keys.ProductControl, name, defaultValue);
}

}  // namespace

int LoadEngineSettings() {
    EngineSettingsRecord& s = EngineSettings;
    // Taken as they are: an interval beyond 32 bits of milliseconds wraps.
    s.CheckForNewParentIntervalMs =
        Setting("CheckForNewParentIntervalInSeconds", 30) * kMsPerSecond;
    s.CheckParentIntervalMs = Setting("CheckParentIntervalInMinutes", 120) * kMsPerMinute;
    s.FindNearestParentIntervalMs =
        Setting("FindNearestParentIntervalInMinutes", 60) * kMsPerMinute;
    s.RoamClient = Setting("RoamClient", 1);
    s.RoamQuarantine = Setting("RoamQuarantine", 0);
    s.RoamHPD = Setting("RoamHPD", 0);
    s.RoamServer = Setting("RoamServer", 0);
    s.RoamAlerts = Setting("RoamAlerts", 0);
    s.RoamKPZ = Setting("RoamKPZ", 0);
    s.RoamWDR = Setting("RoamWDR", 0);
    return 0;
}
