// The unattended program beside a debug-output viewer that stopped reading
// (crashed, paused or hung, as administrators leave them): the viewer's
// objects exist and nobody answers, so every OutputDebugStringA of the
// program waits 10 s for it, or for ever once the viewer also holds the
// channel's mutex. Neither the takeover nor the stop may wait on it.

#include <windows.h>

#include <optional>
#include <string>

#include "debug_monitor.h"
#include "harness/harness.h"
#include "harness/service_control.h"
#include "harness/unattended_run.h"
#include "kestrel/kestrel_lab.h"
#include "labnet/labnet.h"

namespace {

using namespace e2e;

constexpr char kHome[] = "C:\\PerchmanLab\\E2EViewerHome";
constexpr char kHpdPath[] = "C:\\PerchmanLab\\E2EViewerHome\\HPD.DAT";

enum class Viewer { None, Dead, DeadHoldingMutex };
const char* ViewerName(Viewer viewer) {
    return viewer == Viewer::None   ? "no viewer"
           : viewer == Viewer::Dead ? "a dead viewer"
                                    : "a dead viewer holding DBWinMutex";
}

std::optional<std::string> Root(const char* name) {
    return ReadString(HKEY_LOCAL_MACHINE, kProductRoot, name);
}

// The product stand-in runs (as its service, and as the control object says
// on Windows 9x), and the machine has no parent yet: the first search takes
// it over in full.
class DeadViewerE2E : public ProductTest, public ::testing::WithParamInterface<Family> {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        ASSERT_EQ(0u, kestrel::InstallService(BuildPath("lab")));
        ASSERT_EQ(0u, kestrel::RegisterControlObject(BuildPath("lab")));
        kestrel::ResetBehaviour();
        ASSERT_EQ(0u, kestrel::StartProduct());
        CreateDirectoryA("C:\\PerchmanLab", nullptr);
        CreateDirectoryA(kHome, nullptr);
    }
    void TearDown() override {
        kestrel::RemoveProduct();
        DeleteFileA(kHpdPath);
        RemoveDirectoryA(kHome);
        ProductTest::TearDown();
    }
    void PrepareSwitchToSrv01() {
        Load("server SRV01 latency=4 pattern=3\nlist <local> Parent 0 SRV01\n");
        SetString(HKEY_LOCAL_MACHINE, kProductRoot, "Home Directory", kHome);
        SetBinary(HKEY_LOCAL_MACHINE, kProductRoot, "GUID", kTestGuid);
        SetDword(HKEY_LOCAL_MACHINE, kProductRoot, "Connected", 1);
        for (const char* name : {"Parent", "LastParent"})
            DeleteValue(HKEY_LOCAL_MACHINE, kProductRoot, name);
        DeleteValue(HKEY_LOCAL_MACHINE, kProductControl, "ClientCount");
        CreateKey(HKEY_LOCAL_MACHINE, std::string(kProductRoot) + "\\Clients");
        DeleteFileA(kHpdPath);
    }
};

// The unhindered takeover sets the bound of the others. The machine's
// shutdown takes the stop's way through the service's control handler: the
// service control manager alone can send it, so the handler's own test shows
// that it never waits on the channel either.
TEST_P(DeadViewerE2E, NeitherTheTakeoverNorTheStopWaitsOnAViewerThatStoppedReading) {
    const Family family = GetParam();
    double unhinderedMs = 0;
    for (Viewer kind : {Viewer::None, Viewer::Dead, Viewer::DeadHoldingMutex}) {
        SCOPED_TRACE(std::string(FamilyName(family)) + ", " + ViewerName(kind));
        PrepareSwitchToSrv01();
        lab::DebugMonitor viewer;
        std::string error;
        if (kind != Viewer::None) {
            ASSERT_TRUE(viewer.StartSilent(kind == Viewer::DeadHoldingMutex, &error)) << error;
        }

        // The loop publishes the client count once the first search and its
        // takeover are done.
        UnattendedRun run(family);
        double start = NowMs();
        ASSERT_TRUE(run.Start(&error)) << error;
        EXPECT_TRUE(WaitUntil(
            [] { return ReadDword(HKEY_LOCAL_MACHINE, kProductControl, "ClientCount").has_value(); },
            120000));
        double takeoverMs = NowMs() - start;
        EXPECT_EQ(Root("Parent"), "SRV01");
        if (kind == Viewer::None)
            unhinderedMs = takeoverMs;
        else
            EXPECT_LT(takeoverMs, 3 * unhinderedMs + 3000) << "unhindered: " << unhinderedMs << " ms";

        UnattendedStop stop = run.Stop();
        EXPECT_TRUE(stop.ended);
        EXPECT_LT(stop.ms, 3000.0);
        EXPECT_EQ(stop.exitCode, 0u);
        EXPECT_EQ(Root("Parent"), kParentMarker);
        EXPECT_EQ(Root("LastParent"), "SRV01");
        EXPECT_EQ(lab::ReadDword("SRV01", TestClientRecordKey(), "good"), 0u);
        std::printf("%s, %s: takeover %.0f ms, stop %.0f ms, process gone after %.0f ms\n",
                    FamilyName(family), ViewerName(kind), takeoverMs, stop.ms, stop.exitMs);
    }
}

INSTANTIATE_TEST_SUITE_P(Families, DeadViewerE2E,
                         ::testing::Values(Family::NtService, Family::Win9xBackground),
                         [](const ::testing::TestParamInfo<Family>& info) {
                             return info.param == Family::NtService ? "NtService" : "Win9x";
                         });

}  // namespace
