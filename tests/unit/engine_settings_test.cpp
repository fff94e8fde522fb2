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

TEST_F(Settings, IntervalsAreConvertedWithThirtyTwoBitArithmetic) {
    control_.SetDword("CheckForNewParentIntervalInSeconds", 5);
    control_.SetDword("CheckParentIntervalInMinutes", 0);
    control_.SetDword("FindNearestParentIntervalInMinutes", 71583);  // wraps past 2^32 ms
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
    EXPECT_EQ(s.CheckParentIntervalMs, 0u);
    EXPECT_EQ(s.FindNearestParentIntervalMs, static_cast<uint32_t>(71583ull * 60000ull));
    EXPECT_EQ(s.RoamClient, 0u);
    EXPECT_EQ(s.RoamQuarantine, 1u);
    EXPECT_EQ(s.RoamHPD, 2u);
    EXPECT_EQ(s.RoamServer, 3u);
    EXPECT_EQ(s.RoamAlerts, 4u);
    EXPECT_EQ(s.RoamKPZ, 5u);
    EXPECT_EQ(s.RoamWDR, 0xFFFFFFFFu);
}

}  // namespace
