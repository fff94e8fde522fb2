#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "platform/system_functions.h"

// The family is decided from what GetVersionExA reports, and Wine reports the
// version set for the program's file name. The end-to-end tests set it for
// unit_tests.exe and start this test alone, naming in PERCHMAN_DEDICATED_RUN
// the family they expect ("win9x", "nt4" or "win2000").
namespace {

bool NtSetBound(const SystemFunctions& f) {
    return f.OpenSCManagerA && f.CreateServiceA && f.StartServiceA &&
           f.StartServiceCtrlDispatcherA && f.RegisterServiceCtrlHandlerA && f.DeleteService &&
           f.QueryServiceStatus && f.ControlService && f.SetServiceStatus &&
           f.CloseServiceHandle && f.CreateWaitableTimerA && f.SetWaitableTimer &&
           f.CancelWaitableTimer && f.OpenServiceA && f.MoveFileExA &&
           f.RegNotifyChangeKeyValue && f.RegisterEventSourceA && f.ReportEventA &&
           f.DeregisterEventSource;
}
bool AnyNtSetBound(const SystemFunctions& f) {
    return f.OpenSCManagerA || f.CreateServiceA || f.StartServiceCtrlDispatcherA ||
           f.CreateWaitableTimerA || f.SetServiceStatus || f.OpenServiceA;
}
bool Win9xSetBound(const SystemFunctions& f) {
    return f.CreateToolhelp32Snapshot && f.Process32First && f.Process32Next &&
           f.RegisterServiceProcess;
}
bool AnyWin9xSetBound(const SystemFunctions& f) {
    return f.CreateToolhelp32Snapshot || f.Process32First || f.Process32Next ||
           f.RegisterServiceProcess;
}

TEST(DedicatedRun, FamilyFlagAndBoundSetFollowTheEmulatedWindows) {
    const char* family = std::getenv("PERCHMAN_DEDICATED_RUN");
    if (!family) GTEST_SKIP() << "needs a run with an emulated Windows version";
    const std::string expected = family;

    SystemFunctions f;
    ASSERT_EQ(LoadSystemFunctions(f), 1);
    EXPECT_EQ(f.IsWin9x, expected == "win9x" ? 1u : 0u);
    EXPECT_EQ(f.IsNT4, expected == "nt4" ? 1u : 0u);
    EXPECT_EQ(f.IsWin2000, expected == "win2000" ? 1u : 0u);
    if (expected == "win9x") {
        EXPECT_TRUE(Win9xSetBound(f));
        EXPECT_FALSE(AnyNtSetBound(f));
        EXPECT_EQ(f.Advapi32, nullptr);
    } else {
        EXPECT_TRUE(NtSetBound(f));
        EXPECT_FALSE(AnyWin9xSetBound(f));
        EXPECT_NE(f.Advapi32, nullptr);
    }
    EXPECT_NE(f.Kernel32, nullptr);

    FreeSystemFunctions(f);
    EXPECT_EQ(f.Kernel32, nullptr);
    EXPECT_EQ(f.Advapi32, nullptr);
}

TEST(SystemFunctions, FreeingTwiceOrWithoutLoadingIsHarmless) {
    SystemFunctions never;
    FreeSystemFunctions(never);
    SystemFunctions f;
    ASSERT_EQ(LoadSystemFunctions(f), 1);
    FreeSystemFunctions(f);
    FreeSystemFunctions(f);
    EXPECT_EQ(f.Kernel32, nullptr);
    EXPECT_EQ(f.Advapi32, nullptr);
}

}  // namespace
