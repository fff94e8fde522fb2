// The Windows 9x background mode end to end: the real perchman.exe under
// Wine's Windows 98, started without arguments the way the startup key starts
// it (a console of its own, hidden, no debugger), against the lab; its lines
// read from the debugger channel as an administrator's viewer reads them.
// What every machine of the family must do (start, take over, stop on its
// status value, the end of the session) also runs as Windows 95, as a Windows
// 95 without Winsock 2 and WinINet, and as Windows Me.

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "common/handles.h"
#include "debug_monitor.h"
#include "harness/harness.h"
#include "harness/win9x_systems.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet.h"

namespace e2e {
namespace {

constexpr char kExeName[] = "perchman.exe";
constexpr char kMutexName[] = "Win9XPerchmanMutex";
constexpr char kWindowClass[] = "Win9XPerchmanWndClass";
constexpr char kWindowTitle[] = "Win9XPerchmanWindow";
constexpr char kStatus[] = "ZirRoamServiceStatus";
constexpr char kMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";
constexpr char kGuid[] = "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f";

// Two roles enabled, the parent's not (its takeover needs the product
// stand-in); the machine's parent is SRV-MAD, so its release can be seen.
constexpr char kNetwork[] =
    "server SRV-MAD latency=4 clients=40 pattern=7\n"
    "server SRV-BCN latency=30 clients=25 pattern=7\n"
    "list <local> Alerts 0 SRV-MAD,SRV-BCN\n"
    "list <local> Quarantine 0 SRV-MAD,SRV-BCN\n"
    "list SRV-MAD Alerts 1 \"\"\nlist SRV-BCN Alerts 1 \"\"\n"
    "list SRV-MAD Quarantine 1 \"\"\nlist SRV-BCN Quarantine 1 \"\"\n"
    "site MADRID 192.0.2.10 SRV-MAD=4 SRV-BCN=30\n"
    "site BARCELONA 198.51.100.20 203.0.113.20 SRV-MAD=30 SRV-BCN=4\n"
    "string <local> - Parent SRV-MAD\n"
    "dword <local> ProductControl RoamClient 0\n"
    "dword <local> ProductControl RoamAlerts 1\n"
    "dword <local> ProductControl RoamQuarantine 1\n";

bool InNamespace() { return std::getenv("PERCHMAN_NETNS") != nullptr; }

double NowMs() {
    LARGE_INTEGER counter, frequency;
    QueryPerformanceCounter(&counter);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(counter.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// A message's text up to its first number: what a line with a measured time
// starts with.
std::string MessageUpToNumber(unsigned id, ...) {
    std::string format = Message(id);
    format = format.substr(0, format.find("%d"));
    char text[2048];
    va_list args;
    va_start(args, id);
    std::vsnprintf(text, sizeof text, format.c_str(), args);
    va_end(args);
    return text;
}

std::string NearestFound(const char* role, const char* server) {
    return MessageUpToNumber(95, role, server);
}

std::string RecordKey() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return std::string("Clients\\") + name + "_::_03020100070605040b0a09080f0e0d0c";
}

struct Instance {
    KernelHandle process;
    DWORD id = 0;
};

class Win98Background : public ProductTest {
protected:
    virtual const Win9xSystem& System() const { return Win98System(); }

    void SetUp() override {
        ProductTest::SetUp();
        std::string error;
        ASSERT_TRUE(monitor_.Start(&error)) << error;
        SetWin9xSystem(kExeName, &System());
        Load(kNetwork);
        SetBinary(HKEY_LOCAL_MACHINE, kProductRoot, "GUID", std::string(kGuid, 16));
        if (InNamespace()) {
            ASSERT_TRUE(lab::MoveToSite("MADRID", &error)) << error;
        }
    }
    void TearDown() override {
        // An instance a failed test left running is told to stop, then ended.
        for (Instance& instance : instances_) {
            if (WaitForSingleObject(instance.process.get(), 0) == WAIT_OBJECT_0) continue;
            SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2);
            if (WaitForSingleObject(instance.process.get(), 15000) != WAIT_OBJECT_0)
                TerminateProcess(instance.process.get(), 1);
        }
        SetWin9xSystem(kExeName, nullptr);
        monitor_.Stop();
        ProductTest::TearDown();
    }

    // As the startup key starts it: no arguments, a console of its own that
    // nobody sees, no debugger.
    Instance& Start() {
        HANDLE process = nullptr;
        DWORD id = 0;
        bool created = StartUnattendedPerchman(&process, &id);
        EXPECT_TRUE(created) << GetLastError();
        instances_.emplace_back();
        instances_.back().process.reset(process);
        instances_.back().id = id;
        return instances_.back();
    }

    // The first line of the instance that starts with text, within ms.
    std::optional<lab::DebugLine> WaitForLine(const Instance& instance, const std::string& text,
                                              DWORD ms) {
        return monitor_.WaitFor(
            [&](const lab::DebugLine& line) {
                return line.processId == instance.id && WithoutClock(line.text).rfind(text, 0) == 0;
            },
            ms);
    }
    std::vector<std::string> LinesOf(const Instance& instance) {
        std::vector<std::string> lines;
        for (const lab::DebugLine& line : monitor_.Lines())
            if (line.processId == instance.id) lines.push_back(WithoutClock(line.text));
        return lines;
    }

    static std::optional<DWORD> Control(const char* name) {
        return ReadDword(HKEY_LOCAL_MACHINE, kProductControl, name);
    }
    template <typename Condition>
    static bool Within(DWORD ms, Condition condition) {
        for (double start = NowMs(); NowMs() - start < ms; Sleep(50))
            if (condition()) return true;
        return condition();
    }
    static bool WaitForControl(const char* name, DWORD value, DWORD ms) {
        return Within(ms, [&] { return Control(name) == value; });
    }
    // The window is made on the monitor's thread, alongside the status value.
    static HWND WaitForWindow(DWORD ms) {
        for (double start = NowMs(); NowMs() - start < ms; Sleep(50))
            if (HWND window = FindWindowA(kWindowClass, kWindowTitle)) return window;
        return FindWindowA(kWindowClass, kWindowTitle);
    }
    static bool Ended(const Instance& instance, DWORD ms) {
        return WaitForSingleObject(instance.process.get(), ms) == WAIT_OBJECT_0;
    }
    // Running: status 1 and the first search of both roles done (the alerts
    // role, searched last, also taken over).
    void WaitUntilSearched(const Instance& instance) {
        ASSERT_TRUE(WaitForControl(kStatus, 1, 30000)) << "status " << Control(kStatus).value_or(99);
        ASSERT_TRUE(WaitForLine(instance, NearestFound("Quarantine", "SRV-MAD"), 30000));
        ASSERT_TRUE(WaitForLine(instance, NearestFound("Alerts", "SRV-MAD"), 30000));
        ASSERT_TRUE(WaitForLine(instance, MessageUpToNumber(104, "SRV-MAD"), 30000));
    }
    // Another process asks the instance to stop through its window.
    static void StopFromAnotherProcess() {
        RunOptions options;
        options.extraEnvironment = {"PERCHMAN_DEDICATED_RUN=stop"};
        RunResult stopper = RunProgram(
            BuildPath("tests\\unit_tests.exe"),
            {"--gtest_filter=DedicatedRun.StopBackgroundInstanceFromAnotherProcess"}, options);
        ASSERT_TRUE(Finished(stopper));
        EXPECT_EQ(stopper.exitCode, 0u) << Describe(stopper);
    }
    void ExpectEndedCleanly() {
        EXPECT_EQ(Control(kStatus), 3u);
        EXPECT_EQ(Control("LastZirRoamStatusCode"), 0u);
        KernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName));
        EXPECT_FALSE(mutex) << "the mutex outlived the instance";
    }

    lab::DebugMonitor monitor_;
    std::deque<Instance> instances_;  // a deque: references stay valid
};

// The same scenarios on every system of the family.
class Win9xBackground : public Win98Background, public ::testing::WithParamInterface<Win9xSystem> {
protected:
    const Win9xSystem& System() const override { return GetParam(); }
};
INSTANTIATE_TEST_SUITE_P(Systems, Win9xBackground, ::testing::ValuesIn(kWin9xSystems), Win9xSystemName);

TEST_P(Win9xBackground, RunsAloneSearchesCountsClientsAndStopsOnItsStatusValue) {
    Instance& first = Start();
    WaitUntilSearched(first);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot + std::string("\\Common"), "NQSSERVER"),
              "SRV-MAD");

    // A second instance says so on the debugger channel, writes nothing, ends.
    Instance& second = Start();
    EXPECT_TRUE(Ended(second, 20000));
    EXPECT_EQ(LinesOf(second), std::vector<std::string>{Message(135) + "\n"});
    EXPECT_EQ(Control(kStatus), 1u);

    CreateKey(HKEY_LOCAL_MACHINE, kProductRoot + std::string("\\Clients\\PC-0417"));
    double added = NowMs();
    EXPECT_TRUE(WaitForControl("ClientCount", 1, 5000));
    std::printf("ClientCount rewritten %.0f ms after the subkey was added\n", NowMs() - added);
    EXPECT_LT(NowMs() - added, 2500.0) << "one pass is 1000 ms";

    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2));
    double asked = NowMs();
    ASSERT_TRUE(Ended(first, 15000));
    double stopMs = NowMs() - asked;
    std::printf("stopped %.0f ms after ZirRoamServiceStatus := 2\n", stopMs);
    // The supervisor looks every 2000 ms; the engine and the window each
    // notice their stop within a second.
    EXPECT_LT(stopMs, 6000.0);
    ExpectEndedCleanly();
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent"), kMarker);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "LastParent"), "SRV-MAD");
    EXPECT_EQ(lab::ReadDword("SRV-MAD", RecordKey(), "good"), 0u);
    // Where the machine was is kept for the next start; without the socket
    // library no address is known, and none is ever written.
    if (InNamespace() || !System().hasSockets) {
        EXPECT_EQ(ValueExists(HKEY_LOCAL_MACHINE, kProductControl, "LastNetAddress"), System().hasSockets);
    }

    // The mutex went with it: a new instance runs, and stops the same way when
    // another process posts the request to its window.
    Instance& third = Start();
    ASSERT_TRUE(WaitForControl(kStatus, 1, 30000));
    ASSERT_TRUE(WaitForWindow(10000));
    StopFromAnotherProcess();
    EXPECT_TRUE(Ended(third, 15000));
    ExpectEndedCleanly();
}

struct EndSessionCase {
    const char* what;
    std::optional<DWORD> shutdownWait;  // seconds; nullopt: no value
    LPARAM lParam;
    bool ends;
};

// Sends WM_ENDSESSION to the instance's window and says how long the window
// procedure held it.
double SendEndSession(LPARAM lParam) {
    HWND window = FindWindowA(kWindowClass, kWindowTitle);
    EXPECT_TRUE(window) << "no window to send it to";
    double start = NowMs();
    DWORD_PTR result = 0;
    EXPECT_TRUE(SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, lParam, SMTO_NORMAL, 60000, &result));
    return NowMs() - start;
}

TEST_P(Win9xBackground, EndOfSessionIsHeldOnlyWhenAskedAndALogOffChangesNothing) {
    const EndSessionCase cases[] = {
        {"no ShutdownWait", std::nullopt, 0, true},
        {"ShutdownWait 5", 5, 0, true},
        {"ShutdownWait 0", 0, 0, true},
        {"log-off", 45, static_cast<LPARAM>(ENDSESSION_LOGOFF), false},
    };
    for (const EndSessionCase& c : cases) {
        SCOPED_TRACE(c.what);
        SetString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent", "SRV-MAD");
        if (c.shutdownWait)
            SetDword(HKEY_LOCAL_MACHINE, kProductControl, "ShutdownWait", *c.shutdownWait);
        else
            DeleteValue(HKEY_LOCAL_MACHINE, kProductControl, "ShutdownWait");
        Instance& instance = Start();
        ASSERT_TRUE(WaitForControl(kStatus, 1, 30000));
        ASSERT_TRUE(WaitForWindow(10000));
        double heldMs = SendEndSession(c.lParam);
        double holdMs = c.ends && c.shutdownWait ? *c.shutdownWait * 1000.0 : 0.0;
        EXPECT_GE(heldMs, holdMs - 100.0);
        EXPECT_LT(heldMs, holdMs + 2000.0);
        // The hold is there to release the parent while Windows waits: once
        // the message returns, the process may be ended at any moment.
        if (holdMs > 0) {
            EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent"), kMarker);
        }
        if (c.ends) {
            EXPECT_TRUE(Ended(instance, 15000));
            ExpectEndedCleanly();
        } else {
            EXPECT_FALSE(Ended(instance, 5000));
            EXPECT_EQ(Control(kStatus), 1u);
            SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2);
            EXPECT_TRUE(Ended(instance, 15000));
        }
    }
}

// Slow on purpose: the end of the session is held for 30 s.
TEST_F(Win98Background, EndOfSessionIsHeldThirtySecondsAtMostSlowWait) {
    SetDword(HKEY_LOCAL_MACHINE, kProductControl, "ShutdownWait", 45);
    Instance& instance = Start();
    WaitUntilSearched(instance);
    ASSERT_TRUE(WaitForWindow(10000));
    double heldMs = SendEndSession(0);
    std::printf("WM_ENDSESSION held %.0f ms\n", heldMs);
    EXPECT_GE(heldMs, 29900.0);
    EXPECT_LT(heldMs, 33000.0);
    // The supervisor stopped the engine meanwhile; the window closes after.
    EXPECT_TRUE(Ended(instance, 15000));
    ExpectEndedCleanly();
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent"), kMarker);
}

// A machine that takes its nearest parent over with the product stopped: the
// product's control object (there is no service to start on this family)
// brings it up, it takes the file in, and the stop on status 2 releases the
// parent again.
TEST_P(Win9xBackground, TakesItsNearestParentOverThroughTheControlObjectAndReleasesItOnStop) {
    constexpr char kHome[] = "C:\\PerchmanLab\\E2E9xHome";
    ASSERT_EQ(0u, kestrel::InstallService(BuildPath("lab")));
    struct ProductRemoval {
        ~ProductRemoval() { kestrel::RemoveProduct(); }
    } productRemoval;
    ASSERT_EQ(0u, kestrel::RegisterControlObject(BuildPath("lab")));
    kestrel::ResetBehaviour();
    kestrel::StopService();
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA(kHome, nullptr);
    const std::string hpdPath = std::string(kHome) + "\\HPD.DAT";
    DeleteFileA(hpdPath.c_str());
    Load("server SRV01 latency=4 pattern=3\nlist <local> Parent 0 SRV01\n");
    SetString(HKEY_LOCAL_MACHINE, kProductRoot, "Home Directory", kHome);
    SetBinary(HKEY_LOCAL_MACHINE, kProductRoot, "GUID", kTestGuid);
    SetDword(HKEY_LOCAL_MACHINE, kProductRoot, "Connected", 1);
    SetDword(HKEY_LOCAL_MACHINE, kProductRoot, "Orientation", kestrel::kOrientationStopped);

    Instance& instance = Start();
    // The loop publishes the client count once the first search and its
    // takeover are done.
    ASSERT_TRUE(WaitForControl(kStatus, 1, 30000));
    ASSERT_TRUE(Within(60000, [] { return Control("ClientCount").has_value(); }));
    EXPECT_TRUE(Within(15000, [] { return ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent") == "SRV01"; }))
        << ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent").value_or("(none)");
    EXPECT_EQ(kestrel::ReadBehaviour(kestrel::kStartCallsValue), 1u);
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kProductRoot, "Orientation"), kestrel::kOrientationRunning);
    EXPECT_EQ(kestrel::ReadBehaviour(kestrel::kProcessedValue), 1u);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kestrel::kLabProductKey, kestrel::kLastHpdPathValue), hpdPath);

    ASSERT_TRUE(SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2));
    ASSERT_TRUE(Ended(instance, 15000));
    ExpectEndedCleanly();
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent"), kMarker);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "LastParent"), "SRV01");
    EXPECT_EQ(lab::ReadDword("SRV01", TestClientRecordKey(), "good"), 0u);
    DeleteFileA(hpdPath.c_str());
    RemoveDirectoryA(kHome);
}

// Where the machine's addresses are watched: the systems with the socket library.
class Win9xWatchingBackground : public Win9xBackground {};
INSTANTIATE_TEST_SUITE_P(Systems, Win9xWatchingBackground,
                         ::testing::ValuesIn(Win9xSystemsWithSockets()), Win9xSystemName);

TEST_P(Win9xWatchingBackground, AMoveIsNoticedOnTheNextQuietPassAndSearchedAgain) {
    if (!InNamespace()) GTEST_SKIP() << "needs the lab's network namespace: run through tools/labshell.sh";
    Instance& instance = Start();
    WaitUntilSearched(instance);
    std::string error;
    ASSERT_TRUE(lab::MoveToSite("BARCELONA", &error)) << error;
    double moved = NowMs();
    ASSERT_TRUE(WaitForLine(instance, NearestFound("Quarantine", "SRV-BCN"), 20000));
    std::printf("searched again %.0f ms after the move\n", NowMs() - moved);
    ASSERT_TRUE(WaitForLine(instance, MessageUpToNumber(104, "SRV-BCN"), 20000));
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot + std::string("\\Common"), "NQSSERVER"),
              "SRV-BCN");

    // The move gives the devices their addresses one at a time: a pass may
    // have caught half of it (and searched), and only a later pass holds the
    // whole snapshot. Two passes of 1 s and their work are waited out.
    Sleep(2500);
    SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2);
    ASSERT_TRUE(Ended(instance, 15000));
    // Where the machine was when the instance stopped, for the next start.
    EXPECT_EQ(ReadBinary(HKEY_LOCAL_MACHINE, kProductControl, "LastNetAddress"),
              std::string("\xc6\x33\x64\x14\xcb\x00\x71\x14", 8));
}

// Without the socket library no address is known: a move goes unnoticed, and
// the search repeats every FindNearestParentIntervalInMinutes instead (here a
// minute, its shortest).
class Win95WithoutWinsock2Background : public Win98Background {
protected:
    const Win9xSystem& System() const override { return Win95WithoutWinsock2System(); }
};

TEST_F(Win95WithoutWinsock2Background, AMoveIsFoundOnlyByThePeriodicSearchSlowWait) {
    if (!InNamespace()) GTEST_SKIP() << "needs the lab's network namespace: run through tools/labshell.sh";
    Load(std::string(kNetwork) + "dword <local> ProductControl FindNearestParentIntervalInMinutes 1\n");
    std::string error;
    ASSERT_TRUE(lab::MoveToSite("MADRID", &error)) << error;
    Instance& instance = Start();
    WaitUntilSearched(instance);
    double searched = NowMs();
    ASSERT_TRUE(lab::MoveToSite("BARCELONA", &error)) << error;
    EXPECT_FALSE(WaitForLine(instance, NearestFound("Quarantine", "SRV-BCN"), 5000))
        << "searched again on a move it cannot see";
    ASSERT_TRUE(WaitForLine(instance, NearestFound("Quarantine", "SRV-BCN"), 70000));
    double afterMs = NowMs() - searched;
    std::printf("searched again %.0f ms after the first search\n", afterMs);
    EXPECT_GE(afterMs, 59000.0);
    EXPECT_LT(afterMs, 66000.0);
    SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2);
    ASSERT_TRUE(Ended(instance, 15000));
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kProductControl, "LastNetAddress"));
}

TEST_F(Win98Background, ASessionThatCannotBeOpenedIsReportedAndTheStopWaitsItsLimit) {
    // The library refuses a caller code made with another key.
    Load(std::string(kNetwork) + "lab caller-key=12345\n");
    Instance& instance = Start();
    std::optional<lab::DebugLine> line = WaitForLine(instance, Message(136) + ": ", 30000);
    ASSERT_TRUE(line) << "no message 136";
    // It names the session's own status (the library's refusal, 0x40000001,
    // which has no system text: message 4 shows it in decimal), not an
    // unrelated last error.
    EXPECT_NE(line->text.find(" (1073741825)"), std::string::npos) << line->text;
    EXPECT_TRUE(WaitForControl(kStatus, 1, 5000));

    SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2);
    double asked = NowMs();
    ASSERT_TRUE(Ended(instance, 30000));
    double stopMs = NowMs() - asked;
    std::printf("a stop without an engine thread took %.0f ms\n", stopMs);
    EXPECT_GE(stopMs, 10000.0) << "the engine thread never says it finished: the full limit";
    EXPECT_LT(stopMs, 16000.0);
    ExpectEndedCleanly();
}

// An engine still in a probe when its 10 s are up (one probe of 15 s cannot
// be cut) must not have the libraries and keys taken away under it: the
// process ends at once, without the shared shut-down, and says so by its
// exit code.
TEST_F(Win98Background, AnEngineStillBusyAfterItsLimitEndsTheProcessAtOnce) {
    Load("server SLOW latency=15000\n"
         "list <local> Alerts 0 SLOW\n"
         "dword <local> ProductControl RoamClient 0\n"
         "dword <local> ProductControl RoamAlerts 1\n");
    Instance& instance = Start();
    ASSERT_TRUE(WaitForControl(kStatus, 1, 30000));
    SetDword(HKEY_LOCAL_MACHINE, kProductControl, kStatus, 2);
    ASSERT_TRUE(Ended(instance, 30000));
    DWORD code = 0;
    GetExitCodeProcess(instance.process.get(), &code);
    EXPECT_EQ(code, static_cast<DWORD>(ERROR_TIMEOUT));
    ExpectEndedCleanly();
}

// "/debug" runs the same mode in the console: no mutex, lines on the console,
// and Ctrl+C (Wine sends no Ctrl+Break; the handler takes both alike) stops it
// through its own window. The run needs a console of its own, which Wine lets
// a program signal only from inside: it happens in a dedicated e2e_tests
// process, so that no later test inherits that console.
TEST(Win98Console, DebugRunsInTheConsoleAndCtrlCStopsIt) {
    RunOptions options;
    options.extraEnvironment = {"PERCHMAN_DEDICATED_RUN=console"};
    RunResult result = RunProgram(BuildPath("tests\\e2e_tests.exe"),
                                  {"--gtest_filter=Win98DedicatedConsole.*"}, options);
    ASSERT_TRUE(Finished(result));
    EXPECT_EQ(result.exitCode, 0u) << result.out;
    EXPECT_NE(result.out.find("[  PASSED  ] 1 test."), std::string::npos) << result.out;
}

class Win98DedicatedConsole : public Win98Background {
protected:
    void SetUp() override {
        if (!std::getenv("PERCHMAN_DEDICATED_RUN")) GTEST_SKIP() << "runs in a process of its own";
        Win98Background::SetUp();
    }
};

TEST_F(Win98DedicatedConsole, DebugRunStopsOnCtrlC) {
    FreeConsole();
    ASSERT_TRUE(AllocConsole());  // the child inherits it
    SetConsoleCtrlHandler([](DWORD) WINAPI -> BOOL { return TRUE; }, TRUE);  // sent to us too

    RunOptions options;
    options.version = Windows::Win98;
    bool mutexSeen = true;
    bool signalled = false;
    options.whileRunning = [&](DWORD) {
        // The engine's first search is over once the alerts role is taken over.
        if (!WaitForControl("LoadNQS", 1, 30000)) return;
        KernelHandle mutex(OpenMutexA(SYNCHRONIZE, FALSE, kMutexName));
        mutexSeen = static_cast<bool>(mutex);
        signalled = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
    };
    // Ended here before the process that runs this test is given up on.
    options.timeoutMs = 60000;
    RunResult run = RunPerchman({"/debug"}, options);
    ASSERT_TRUE(Finished(run)) << "signalled " << signalled << ", " << Describe(run);
    EXPECT_TRUE(signalled);
    EXPECT_FALSE(mutexSeen) << "/debug took the single-instance mutex";
    EXPECT_EQ(run.exitCode, 0u);
    const std::string& out = run.out;
    EXPECT_EQ(out.rfind(Crlf(FormatMessageText(115, "Perchman")), 0), 0u) << Escape(out);
    EXPECT_NE(out.find(Crlf(NearestFound("Alerts", "SRV-MAD"))), std::string::npos) << Escape(out);
    const std::string stopping = FormatMessageText(111, "Perchman");
    ASSERT_GE(out.size(), stopping.size());
    EXPECT_EQ(out.substr(out.size() - stopping.size()), stopping) << Escape(out);
    ExpectEndedCleanly();
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, kProductRoot, "Parent"), kMarker);
}

}  // namespace
}  // namespace e2e
