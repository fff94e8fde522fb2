#include <gtest/gtest.h>

#include "engine/engine_settings.h"
#include "engine_fakes.h"

namespace {

using engine_test::SavedTables;
using engine_test::ScratchKey;

class Settings : public ::testing::Test {
protected:
    void SetUp() override {
        savedSettings_ = EngineSettings;
        Product.GetDwordValue = engine_test::RegistryGetDword;
        Keys.ProductControl = control_.get();
    }
    void TearDown() override { EngineSettings = savedSettings_; }

    SavedTables saved_;
    ScratchKey control_{"Settings"};
    EngineSettingsRecord savedSettings_;
};

void ExpectDefaults(const EngineSettingsRecord& s) {
    EXPECT_EQ(s.CheckForNewParentIntervalMs, 30000u);
    EXPECT_EQ(s.CheckParentIntervalMs, 7200000u);
    EXPECT_EQ(s.FindNearestParentIntervalMs, 3600000u);
    EXPECT_EQ(s.RoamClient, 1u);
    EXPECT_EQ(s.RoamQuarantine + s.RoamHPD + s.RoamServer + s.RoamAlerts + s.RoamKPZ + s.RoamWDR,
              0u);
}

TEST_F(Settings, MissingValuesGiveTheDefaults) {
    EngineSettings = EngineSettingsRecord{};
    EngineSettings.RoamWDR = 9;  // whatever was there before is replaced
    EXPECT_EQ(LoadEngineSettings(), 0);
    ExpectDefaults(EngineSettings);

    // A value of another type, or no product library at all: defaults too.
    control_.SetRaw("CheckParentIntervalInMinutes", REG_SZ, std::string("5\0", 2));
    EXPECT_EQ(LoadEngineSettings(), 0);
    ExpectDefaults(EngineSettings);
    control_.SetDword("RoamWDR", 1);
    Product.GetDwordValue = nullptr;
    EXPECT_EQ(LoadEngineSettings(), 0);
    ExpectDefaults(EngineSettings);
}

// Milliseconds beyond a waitable timer's signed 32-bit period are held there,
// never wrapped into a short interval or a negative period.
TEST_F(Settings, IntervalsAreHeldWithinTheLongestTimerPeriod) {
    struct Case {
        DWORD minutes;
        uint32_t ms;
    };
    const Case cases[] = {{35791, 35791u * 60000u},  // the longest that fits
                          {35792, 0x7FFFFFFFu},      // would be a negative period
                          {71583, 0x7FFFFFFFu},      // would wrap to 20 minutes
                          {0xFFFFFFFF, 0x7FFFFFFFu}};
    for (const Case& c : cases) {
        control_.SetDword("CheckParentIntervalInMinutes", c.minutes);
        control_.SetDword("FindNearestParentIntervalInMinutes", c.minutes);
        control_.SetDword("CheckForNewParentIntervalInSeconds", c.minutes);
        EXPECT_EQ(LoadEngineSettings(), 0);
        EXPECT_EQ(EngineSettings.CheckParentIntervalMs, c.ms) << c.minutes;
        EXPECT_EQ(EngineSettings.FindNearestParentIntervalMs, c.ms) << c.minutes;
    }
    EXPECT_EQ(EngineSettings.CheckForNewParentIntervalMs, 0x7FFFFFFFu);
}

// 0 asks for the work at every opportunity, which the loops take as once a
// second: a search that finds nothing must not retry without a pause.
TEST_F(Settings, IntervalsAreNeverShorterThanASecond) {
    control_.SetDword("CheckForNewParentIntervalInSeconds", 0);
    control_.SetDword("CheckParentIntervalInMinutes", 0);
    control_.SetDword("FindNearestParentIntervalInMinutes", 0);
    EXPECT_EQ(LoadEngineSettings(), 0);
    EXPECT_EQ(EngineSettings.CheckForNewParentIntervalMs, 1000u);
    EXPECT_EQ(EngineSettings.CheckParentIntervalMs, 1000u);
    EXPECT_EQ(EngineSettings.FindNearestParentIntervalMs, 1000u);
    control_.SetDword("CheckForNewParentIntervalInSeconds", 1);
    EXPECT_EQ(LoadEngineSettings(), 0);
    EXPECT_EQ(EngineSettings.CheckForNewParentIntervalMs, 1000u);
}

TEST_F(Settings, ValuesAreTakenAsTheyAre) {
    control_.SetDword("CheckForNewParentIntervalInSeconds", 5);
    control_.SetDword("CheckParentIntervalInMinutes", 0);
    control_.SetDword("FindNearestParentIntervalInMinutes", 1);
    control_.SetDword("RoamClient", 0);
    control_.SetDword("RoamQuarantine", 1);
    control_.SetDword("RoamHPD", 2);
    control_.SetDword("RoamServer", 3);
    control_.SetDword("RoamAlerts", 4);
    control_.SetDword("RoamKPZ", 5);
    control_.SetDword("RoamWDR", 0xFFFFFFFF);
    EXPECT_EQ(LoadEngineSettings(), 0);
    const EngineSettingsRecord& s = EngineSettings;
    EXPECT_EQ(s.CheckForNewParentIntervalMs, 5000u);
    EXPECT_EQ(s.CheckParentIntervalMs, 1000u);  // 0, held at a second
    EXPECT_EQ(s.FindNearestParentIntervalMs, 60000u);
    EXPECT_EQ(s.RoamClient, 0u);
    EXPECT_EQ(s.RoamQuarantine, 1u);
    EXPECT_EQ(s.RoamHPD, 2u);
    EXPECT_EQ(s.RoamServer, 3u);
    EXPECT_EQ(s.RoamAlerts, 4u);
    EXPECT_EQ(s.RoamKPZ, 5u);
    EXPECT_EQ(s.RoamWDR, 0xFFFFFFFFu);
}

}  // namespace
