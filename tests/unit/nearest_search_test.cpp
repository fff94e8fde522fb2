#include <gtest/gtest.h>

#include "engine/engine_settings.h"
#include "common/text.h"
#include "engine/nearest.h"

namespace {

// A role without a first-level list has nothing to search: status 1, and the
// retry wrapper gives up at once instead of waiting for servers.
TEST(FindNearestServer, ARoleWithoutServersEndsAtOnceWithStatusOne) {
    char name[kServerNameSize] = "stale";
    EXPECT_EQ(FindNearestServer("NoSuchRole", name), 1);
    EXPECT_STREQ(name, "");

    EngineSettings.CheckForNewParentIntervalMs = 60u * 60u * 1000u;
    uint32_t elapsed = 0xFFFFFFFFu;
    CopyText(name, "stale");
    EXPECT_EQ(FindNearestWithRetry("NoSuchRole", name, &elapsed, 0), 1);
    EXPECT_STREQ(name, "");
    EXPECT_LT(elapsed, 5000u);
    EXPECT_EQ(FindNearestWithRetry("NoSuchRole", name, &elapsed, 1), 0);
    EngineSettings = EngineSettingsRecord{};
}

}  // namespace
