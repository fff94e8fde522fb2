#include <gtest/gtest.h>

#include "platform/system_functions.h"
#include "output/output.h"
#include "product/product_control.h"
#include "takeover_fixture.h"

namespace takeover_test {
namespace {

class ProductControl : public TakeoverTest {};

TEST_F(ProductControl, OrientationTellsWhetherTheProductRunsOnWindows9x) {
    EngineFunctions.IsWin9x = 1;
    struct Case {
        std::optional<DWORD> orientation;
        int readable;
        DWORD running;
    };
    for (Case c : {Case{std::nullopt, 0, 7}, Case{5134, 1, 0}, Case{0, 1, 1}, Case{1, 1, 1},
                   Case{5135, 1, 1}}) {
        SCOPED_TRACE(c.orientation ? static_cast<int>(*c.orientation) : -1);
        if (c.orientation) SetRootDword("Orientation", *c.orientation);
        DWORD running = 7;
        EXPECT_EQ(c.readable, ReadOrientation(&running));
        EXPECT_EQ(c.running, running);
        EXPECT_EQ(c.running == 1 ? 1 : 0, IsProductRunning());
    }
    // Four bytes that are not a number are no state: as if the value were missing.
    SetRootString("Orientation", "abc");
    DWORD running = 7;
    EXPECT_EQ(0, ReadOrientation(&running));
    EXPECT_EQ(7u, running);
    EXPECT_EQ(0, IsProductRunning());
}

TEST_F(ProductControl, ServiceIsStartedStoppedAndCheckedThroughTheServiceManager) {
    ServiceHandle manager = OpenServiceManager();
    ASSERT_TRUE(manager);
    EXPECT_EQ(0, IsServiceRunning(manager.get(), kProductServiceName));
    EXPECT_EQ(0, IsProductRunning());
    Capture();
    EXPECT_EQ(0u, StartProductService(manager.get(), kProductServiceName));
    EXPECT_EQ(1, IsProductRunning());
    EXPECT_EQ(0u, StartProductService(manager.get(), kProductServiceName)) << "already running";
    EXPECT_EQ("", Captured());
    EXPECT_EQ(0u, StopProductService(manager.get(), kProductServiceName));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), kestrel::ServiceState());
    EXPECT_EQ(0, IsProductRunning());
}

TEST_F(ProductControl, ServiceThatCannotBeOpenedIsAnErrorForStartAndStop) {
    ServiceHandle manager = OpenServiceManager();
    ASSERT_TRUE(manager);
    EXPECT_EQ(SERVICE_OPEN_FAILED, StartProductService(manager.get(), "No Such Service"));
    EXPECT_EQ(SERVICE_OPEN_FAILED, StopProductService(manager.get(), "No Such Service"));
    EXPECT_EQ(0, IsServiceRunning(manager.get(), "No Such Service"));
}

TEST_F(ProductControl, StoppingAServiceThatIsNotRunningGivesTheControlError) {
    ServiceHandle manager = OpenServiceManager();
    ASSERT_TRUE(manager);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SERVICE_NOT_ACTIVE),
              StopProductService(manager.get(), kProductServiceName));
}

// A service that reports stop-pending a few times before it stops.
int pendingReports = 0;
int statusQueries = 0;
BOOL WINAPI PendingControl(SC_HANDLE, DWORD, SERVICE_STATUS* status) {
    status->dwCurrentState = SERVICE_STOP_PENDING;
    return TRUE;
}
BOOL WINAPI PendingQuery(SC_HANDLE, SERVICE_STATUS* status) {
    ++statusQueries;
    status->dwCurrentState = statusQueries < pendingReports ? SERVICE_STOP_PENDING : SERVICE_STOPPED;
    return TRUE;
}

TEST_F(ProductControl, StopPollsEveryHundredMillisecondsWhileStopPending) {
    ServiceHandle manager = OpenServiceManager();
    SystemFunctions saved = EngineFunctions;
    EngineFunctions.ControlService = PendingControl;
    EngineFunctions.QueryServiceStatus = PendingQuery;
    pendingReports = 4;
    statusQueries = 0;
    DWORD start = GetTickCount();
    DWORD status = StopProductService(manager.get(), kProductServiceName);
    DWORD elapsed = GetTickCount() - start;
    EngineFunctions = saved;
    EXPECT_EQ(0u, status);
    EXPECT_EQ(4, statusQueries);
    EXPECT_GE(elapsed, 380u);
    EXPECT_LT(elapsed, 1500u);
}

TEST_F(ProductControl, ControlObjectStartsAndStopsTheProduct) {
    EXPECT_EQ(1, StartProductObject());
    EXPECT_EQ(kestrel::kOrientationRunning, RootDword("Orientation").value_or(0));
    EXPECT_EQ(1, StopProductObject());
    EXPECT_EQ(kestrel::kOrientationStopped, RootDword("Orientation").value_or(0));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStartCallsValue));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStopCallsValue));
}

TEST_F(ProductControl, ControlObjectFailureOrAbsenceGivesZero) {
    kestrel::SetBehaviour(kestrel::kFailControlValue, 1);
    EXPECT_EQ(0, StartProductObject());
    EXPECT_EQ(0, StopProductObject());
    EXPECT_FALSE(RootDword("Orientation"));
    kestrel::UnregisterControlObject();
    kestrel::SetBehaviour(kestrel::kFailControlValue, 0);
    EXPECT_EQ(0, StartProductObject());
}

}  // namespace
}  // namespace takeover_test
