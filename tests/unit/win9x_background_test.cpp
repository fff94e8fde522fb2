// The Windows 9x background mode in-process: which work a pass of the polling
// loop does, and the shutdown monitor's thread ending when it cannot start.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdlib>
#include <string>

#include "common/handles.h"
#include "engine/engine_settings.h"
#include "engine_fakes.h"
#include "platform/system_functions.h"
#include "product/product_library.h"

#include "engine/main_loop.h"
#include "entry/win9x_background.h"
#include "entry/service_frame.h"
#include "entry/shutdown_monitor.h"
#include "entry/win9x_engine_thread.h"
#include "output/output.h"

namespace {

constexpr uint32_t kParentInterval = 120u * 60000u;
constexpr uint32_t kNearestInterval = 60u * 60000u;

struct PassCase {
    const char* what;
    uint32_t now, lastParentCheck, lastNearest;
    bool watchingAddresses;
    PassWork expected;
};

// The engine thread says it has finished a moment before it is gone. A stop
// that took that moment for a hung engine ended a clean run with
// ERROR_TIMEOUT and without the shared shut-down.
struct EngineThreadPlan {
    bool saysFinished;
    DWORD runsOnMs;  // after saying so, or in all
    volatile LONG finished = 0;
};

DWORD WINAPI PlannedEngine(void* context) {
    auto* plan = static_cast<EngineThreadPlan*>(context);
    if (plan->saysFinished) InterlockedExchange(&plan->finished, 1);
    Sleep(plan->runsOnMs);
    return 0;
}

TEST(AwaitEngineEnd, WaitsForAThreadThatSaidItFinishedAndNotForOneThatRunsOn) {
    const struct {
        const char* what;
        bool saysFinished;
        DWORD runsOnMs;
        uint32_t limitMs;
        bool ended;
    } cases[] = {
        {"said it finished, gone 300 ms later", true, 300, 5000, true},
        {"its session failed: ended without saying so", false, 0, 300, true},
        {"still in a search at the limit", false, 2000, 300, false},
        // The limit is up as the word is read: the moment after it is owed.
        {"said it finished exactly at its limit", true, 300, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EngineThreadPlan plan{c.saysFinished, c.runsOnMs};
        HANDLE thread = CreateThread(nullptr, 0, PlannedEngine, &plan, 0, nullptr);
        ASSERT_NE(thread, nullptr);
        if (!c.saysFinished && c.runsOnMs == 0) WaitForSingleObject(thread, INFINITE);
        while (c.saysFinished && !c.limitMs && !plan.finished) Sleep(1);
        EXPECT_EQ(AwaitEngineEnd(thread, &plan.finished, c.limitMs), c.ended);
        EXPECT_EQ(plan.finished, 0) << "the flag is taken";
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
}

TEST(MainLoopPass, OnePieceOfWorkInPriorityOrder) {
    const PassCase cases[] = {
        {"nothing due", 5000, 1000, 1000, true, PassWork::ClientsOrAddresses},
        {"parent check one ms early", kParentInterval - 1, 0, 0, false,
         PassWork::SearchNearest},
        {"parent check due exactly", kParentInterval, 0, kParentInterval, true,
         PassWork::CheckParent},
        {"both due: the parent check first", kParentInterval + 5, 0, 0, false,
         PassWork::CheckParent},
        {"search due without address watching", kNearestInterval, 0, 0, false,
         PassWork::SearchNearest},
        {"no search timer while addresses are watched", kNearestInterval, 0, 0, true,
         PassWork::ClientsOrAddresses},
        {"across the clock's wrap, not yet due", 0x1000, 0xFFFFF000u, 0xFFFFF000u, false,
         PassWork::ClientsOrAddresses},
        {"across the clock's wrap, due", kParentInterval - 0x10, 0xFFFFFFF0u, 0xFFFFFFF0u, true,
         PassWork::CheckParent},
    };
    for (const PassCase& c : cases) {
        PassClock clock = {c.now,           c.lastParentCheck,  c.lastNearest,
                           kParentInterval, kNearestInterval, c.watchingAddresses};
        EXPECT_EQ(ChoosePassWork(clock), c.expected) << c.what;
    }
}

DWORD WINAPI RunStop(void*) {
    StopShutdownMonitor();
    return 0;
}

// StopShutdownMonitor waits without a limit of its own; the test gives it one.
bool StopReturnsWithin(DWORD ms) {
    HANDLE thread = CreateThread(nullptr, 0, RunStop, nullptr, 0, nullptr);
    bool returned = WaitForSingleObject(thread, ms) == WAIT_OBJECT_0;
    CloseHandle(thread);
    return returned;
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        ShutdownSeen = 0;
        ServiceRunning = 0;
    }
    void TearDown() override {
        ShutdownSeen = 0;
        ServiceRunning = 0;
    }
};

// Another module of the process holds the class name, so the monitor cannot
// register its own: the thread ends at once and the stop must not wait on it.
TEST_F(Monitor, ClassTakenEndsTheThreadAndTheStopDoesNotHang) {
    WNDCLASSA taken = {};
    taken.lpfnWndProc = DefWindowProcA;
    taken.lpszClassName = kMonitorWindowClass;
    ASSERT_NE(RegisterClassA(&taken), 0);
    ServiceRunning = 1;

    StartShutdownMonitor();
    bool returned = StopReturnsWithin(5000);
    EXPECT_TRUE(returned) << "StopShutdownMonitor waits for a thread that has ended";
    EXPECT_EQ(MonitorStarted, 0);
    EXPECT_EQ(ServiceRunning, 1) << "the engine's lines would go to a console given up";
    EXPECT_EQ(ShutdownSeen, 0) << "a monitor that never ran saw no shutdown";
    // The other module's class is still there: only a class of our own is taken back.
    EXPECT_NE(UnregisterClassA(kMonitorWindowClass, nullptr), 0);
    if (!returned) InterlockedExchange(&MonitorTerminated, 1);
}

// Ctrl+C under "/debug" before the monitor's window exists (its thread still
// starting on a busy machine): the request reaches the supervisor all the
// same, and is not lost with the window that was not there to take it.
TEST_F(Monitor, CtrlCBeforeTheWindowExistsStillStopsTheMode) {
    const auto savedFamily = FrameFunctions.IsWin9x;
    FrameFunctions.IsWin9x = 1;
    ASSERT_FALSE(FindWindowA(kMonitorWindowClass, kMonitorWindowTitle));
    EXPECT_TRUE(ConsoleControlHandler(CTRL_C_EVENT));
    EXPECT_EQ(ShutdownSeen, 1);
    FrameFunctions.IsWin9x = savedFamily;
}

// The end-to-end tests start this alone, in a process of its own: the stop
// request another program makes.
TEST(DedicatedRun, StopBackgroundInstanceFromAnotherProcess) {
    if (!std::getenv("PERCHMAN_DEDICATED_RUN")) GTEST_SKIP() << "needs a running instance";
    EXPECT_NE(StopBackgroundInstance(), 0);
}

}  // namespace

namespace {

struct EndSessionArgs {
    WPARAM wParam;
    LPARAM lParam;
};
DWORD WINAPI DeliverEndSession(void* argument) {
    auto* args = static_cast<EndSessionArgs*>(argument);
    WndProc(nullptr, WM_ENDSESSION, args->wParam, args->lParam);
    return 0;
}

// Only a shutdown that goes ahead ends the instance: not a log-off, not a
// shutdown another program vetoed (wParam FALSE). When it goes ahead, the
// supervisor learns of it at once, not after the hold that exists to give
// it the time to release the parent.
TEST_F(Monitor, OnlyAShutdownThatGoesAheadEndsTheInstanceAndAtTheStartOfTheHold) {
    const struct {
        const char* what;
        WPARAM wParam;
        LPARAM lParam;
        LONG seen;
    } cases[] = {
        {"the session ends", TRUE, 0, 1},
        {"a shutdown vetoed by another program", FALSE, 0, 0},
        {"a log-off", TRUE, static_cast<LPARAM>(ENDSESSION_LOGOFF), 0},
        {"a vetoed log-off", FALSE, static_cast<LPARAM>(ENDSESSION_LOGOFF), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ShutdownSeen = 0;
        ShutdownWaitMs = 600;
        EndSessionArgs args = {c.wParam, c.lParam};
        HANDLE thread = CreateThread(nullptr, 0, DeliverEndSession, &args, 0, nullptr);
        bool held = WaitForSingleObject(thread, 200) == WAIT_TIMEOUT;
        LONG seenDuringHold = ShutdownSeen;
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
        EXPECT_EQ(held, c.seen != 0);
        EXPECT_EQ(seenDuringHold, c.seen);
        EXPECT_EQ(ShutdownSeen, c.seen);
    }
    ShutdownWaitMs = 0;
}

// The window closes at its next timer tick unless the stop nudges it: the
// stop must not wait out up to a second of it.
TEST_F(Monitor, StopClosesTheWindowAtOnce) {
    StartShutdownMonitor();
    HWND window = nullptr;
    for (int i = 0; i < 300 && !(window = FindWindowA(kMonitorWindowClass, kMonitorWindowTitle)); ++i)
        Sleep(10);
    ASSERT_NE(window, nullptr);
    uint32_t start = ClockMs();
    bool returned = StopReturnsWithin(5000);
    uint32_t took = ElapsedMs(start, ClockMs());
    ASSERT_TRUE(returned);
    EXPECT_LT(took, 400u);
    EXPECT_EQ(ShutdownSeen, 1) << "the closed window tells the supervisor";
    EXPECT_EQ(FindWindowA(kMonitorWindowClass, kMonitorWindowTitle), nullptr);
}

}  // namespace

namespace {

product::Status WINAPI SessionOpens(uint32_t) { return 0; }
HANDLE WINAPI AlertsRegistered(product::AlertCallback, product::AlertCallback) {
    return reinterpret_cast<HANDLE>(0xA1);
}
product::Status WINAPI AlertsUnregistered(HANDLE) { return 0; }
DWORD WINAPI RegistrationRefused(DWORD, DWORD) {
    SetLastError(ERROR_ACCESS_DENIED);
    return 0;
}

// A refused RegisterServiceProcess ends the mode through the shared shut-down,
// as any failed start does: its threads are stopped first, and the process
// is not ended from inside with ERROR_TIMEOUT. The mode runs in a process of
// its own (this program again), whose exit code tells.
TEST(Win9xBackgroundMode, ARefusedRegistrationReturnsThroughTheNormalShutDown) {
    if (!std::getenv("PERCHMAN_DEDICATED_RUN")) {
        char self[MAX_PATH];
        GetModuleFileNameA(nullptr, self, sizeof self);
        std::string command = std::string("\"") + self +
                              "\" --gtest_filter=Win9xBackgroundMode.ARefusedRegistration*";
        SetEnvironmentVariableA("PERCHMAN_DEDICATED_RUN", "registration");
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION child = {};
        BOOL created = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                      nullptr, &startup, &child);
        SetEnvironmentVariableA("PERCHMAN_DEDICATED_RUN", nullptr);
        ASSERT_TRUE(created) << GetLastError();
        bool ended = WaitForSingleObject(child.hProcess, 30000) == WAIT_OBJECT_0;
        if (!ended) TerminateProcess(child.hProcess, 1);
        DWORD code = 99;
        GetExitCodeProcess(child.hProcess, &code);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
        ASSERT_TRUE(ended);
        EXPECT_EQ(code, 0u) << "1460: the mode ended the process with ERROR_TIMEOUT";
        return;
    }
    engine_test::SavedTables saved;
    FrameFunctions.IsWin9x = 1;
    FrameFunctions.RegisterServiceProcess = RegistrationRefused;
    EngineFunctions.IsWin9x = 1;
    EngineSettings = EngineSettingsRecord{};
    EngineSettings.RoamClient = 0;
    WinsockReady = 0;
    Product.Module = LoadLibraryA("kernel32.dll");
    Product.PresentCallerCode = SessionOpens;
    Product.RegisterAlertCallbacks = AlertsRegistered;
    Product.UnregisterAlertCallbacks = AlertsUnregistered;
    EXPECT_EQ(Win9xServiceMain(0), 0);
    EXPECT_EQ(ServiceRunning, 0);
    KernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, "Win9XPerchmanMutex"));
    EXPECT_FALSE(mutex) << "the mutex outlived the mode";
    EXPECT_EQ(EngineStarted, 0) << "the engine thread was left running";
}

}  // namespace
