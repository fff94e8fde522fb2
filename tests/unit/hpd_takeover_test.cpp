#include <gtest/gtest.h>

#include "platform/system_functions.h"
#include "takeover/takeovers.h"
#include "engine_fakes.h"
#include "takeover_fixture.h"

namespace takeover_test {
namespace {

struct Role {
    const char* name;
    int (*takeOver)(const char*);
    unsigned notStartedMessage;
};

class HpdTakeover : public TakeoverTest, public ::testing::WithParamInterface<Role> {
protected:
    int Run(const char* server) {
        Capture();
        int result = GetParam().takeOver(server);
        output_ = Captured();
        return result;
    }
    std::string CopyTrace(const char* server, DWORD status) {
        return Text(158, server, "$\\Hpd\\HPD.DAT", kHpdPath, static_cast<int>(status),
                    static_cast<unsigned>(status));
    }
};

TEST_P(HpdTakeover, MissingOrEmptyServerPathIsReportedWithoutACopy) {
    EXPECT_EQ(0, Run("HPD1"));
    std::string absent = Text(80) + " - " + Text(2) + " (2) ";
    EXPECT_EQ(absent, output_.substr(0, absent.size()));

    SetControlString("ParentHPDPath", "");
    EXPECT_EQ(0, Run("HPD1"));
    std::string empty = Text(80) + " - " + Text(2) + " (0) ";
    EXPECT_EQ(empty, output_.substr(0, empty.size()));
    EXPECT_TRUE(Servers().copies.empty());
    EXPECT_FALSE(ControlDword("ProcessHPDNow"));
}

// The copy breaks off half-way: the file the product has stays whole, and
// nothing of the broken copy is left beside it.
TEST_P(HpdTakeover, CopyFailureIsReportedWithItsStatusAndTouchesNothing) {
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    WriteHpdFile(kPreviousHpdFile);
    Servers().copyStatus = 5;
    EXPECT_EQ(0, Run("HPD1"));
    EXPECT_EQ(CopyTrace("HPD1", 5) + Text(79) + " - " + Text(2) + " (5)\n \n", output_);
    EXPECT_EQ(kPreviousHpdFile, ReadHpdFile());
    EXPECT_EQ(FilesIn(kHome), std::vector<std::string>{"HPD.DAT"});
    EXPECT_FALSE(ControlDword("ProcessHPDNow"));
    EXPECT_FALSE(ProductServiceRunning());
}

// Without a home directory the file would be copied to the root of the
// current drive, where the product never looks; a path that does not fit
// names no file at all.
TEST_P(HpdTakeover, NoPlaceForTheFileIsReportedWithoutACopy) {
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    struct Case {
        std::string home;
        const char* status;
    };
    for (const Case& c : {Case{"", "3"}, Case{"C:\\" + std::string(300, 'h'), "ce"}}) {
        SetRootString("Home Directory", c.home);
        EXPECT_EQ(0, Run("HPD1"));
        EXPECT_EQ(Text(79) + " - " + Text(2) + " (" + c.status + ")\n \n", output_);
        EXPECT_TRUE(Servers().copies.empty());
        EXPECT_FALSE(ControlDword("ProcessHPDNow"));
    }
}

TEST_P(HpdTakeover, RunningProductTakesTheServersFileIn) {
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    WriteHpdFile(kPreviousHpdFile);
    StartProduct();
    EXPECT_EQ(1, Run("HPD1"));
    EXPECT_EQ(CopyTrace("HPD1", 0), output_);
    EXPECT_EQ(kServerHpdFile, ReadHpdFile());
    EXPECT_EQ(FilesIn(kHome), std::vector<std::string>{"HPD.DAT"});
    EXPECT_EQ(std::string("yes\0", 4), RootValue("FromServer").value_or(""));
    EXPECT_EQ(0u, ControlDword("ProcessHPDNow").value_or(1));
    EXPECT_FALSE(ControlDword("AccessCounter")) << "counted on Windows 9x only";
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

// A service is start-pending for a while after it was started: the takeover
// waits for it before it decides whether the product came up.
TEST_P(HpdTakeover, StoppedProductIsStartedAndAwaitedWhileStarting) {
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    kestrel::SetBehaviour(kestrel::kStartDelayValue, 1500);
    EXPECT_EQ(1, Run("HPD1"));
    EXPECT_EQ(CopyTrace("HPD1", 0) + Text(81), output_);
    EXPECT_TRUE(ProductServiceRunning());
    EXPECT_EQ(0u, ControlDword("ProcessHPDNow").value_or(1));
}

// A stop that ends the wait for a product still starting leaves it to come
// up on its own: no "cannot be started" message for a start that is going.
TEST_P(HpdTakeover, AStopDuringTheProductsStartIsNoFailureToStart) {
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    kestrel::SetBehaviour(kestrel::kStartDelayValue, 3000);
    int result = 1;
    DWORD took = 0;
    {
        engine_test::DelayedStop stop(300);
        DWORD start = GetTickCount();
        engine_test::ExpectGivesWayWithin(5000, [&] { result = Run("HPD1"); });
        took = GetTickCount() - start;
    }
    EXPECT_EQ(0, result);
    EXPECT_LT(took, 2500u);
    EXPECT_EQ(CopyTrace("HPD1", 0) + Text(81), output_);
    EXPECT_EQ(1u, ControlDword("ProcessHPDNow").value_or(0));
    // A start-pending service cannot be stopped: the next test's set-up needs it up.
    for (int i = 0; i < 100 && !ProductServiceRunning(); ++i) Sleep(50);
}

TEST_P(HpdTakeover, ProductThatCannotBeStartedKeepsTheRequestForItsNextStart) {
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    kestrel::UninstallService();
    EXPECT_EQ(0, Run("HPD1"));
    std::string expected = CopyTrace("HPD1", 0) + Text(81) + Text(GetParam().notStartedMessage);
    EXPECT_EQ(expected, output_.substr(0, expected.size()));
    EXPECT_EQ(1u, ControlDword("ProcessHPDNow").value_or(0));
    EXPECT_EQ(kServerHpdFile, ReadHpdFile());
}

TEST_P(HpdTakeover, Windows9xCountsAccessesAndStartsThroughTheControlObject) {
    EngineFunctions.IsWin9x = 1;
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    SetRootDword("Orientation", kestrel::kOrientationStopped);
    StartProduct();  // takes the file in; the program sees "Orientation" only
    EXPECT_EQ(1, Run("HPD1"));
    EXPECT_EQ(1u, ControlDword("AccessCounter").value_or(0));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStartCallsValue));
    EXPECT_EQ(CopyTrace("HPD1", 0) + Text(81), output_);

    // Windows 9x has no replacing move: the old file goes first.
    WriteHpdFile(kPreviousHpdFile);
    SetControlDword("AccessCounter", 41);
    EXPECT_EQ(1, Run("HPD1"));
    EXPECT_EQ(42u, ControlDword("AccessCounter").value_or(0));
    EXPECT_EQ(kServerHpdFile, ReadHpdFile());
    EXPECT_EQ(FilesIn(kHome), std::vector<std::string>{"HPD.DAT"});
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStartCallsValue)) << "already running";
}

TEST_P(HpdTakeover, Windows9xControlObjectFailureMeansNotStarted) {
    EngineFunctions.IsWin9x = 1;
    SetControlString("ParentHPDPath", "Hpd\\HPD.DAT");
    SetRootDword("Orientation", kestrel::kOrientationStopped);
    kestrel::SetBehaviour(kestrel::kFailControlValue, 1);
    EXPECT_EQ(0, Run("HPD1"));
    std::string expected = CopyTrace("HPD1", 0) + Text(81) + Text(GetParam().notStartedMessage);
    EXPECT_EQ(expected, output_.substr(0, expected.size()));
}

INSTANTIATE_TEST_SUITE_P(Roles, HpdTakeover,
                         ::testing::Values(Role{"HpdServer", TakeOverHPDServer, 139},
                                           Role{"Primary", TakeOverPrimary, 82}),
                         [](const ::testing::TestParamInfo<Role>& info) { return info.param.name; });

}  // namespace
}  // namespace takeover_test
