#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/engine_loop.h"
#include "engine/engine_settings.h"
#include "engine/parent_check.h"
#include "engine_fakes.h"
#include "entry/event_log.h"
#include "entry/run_modes.h"
#include "entry/service_frame.h"
#include "entry/service_status.h"
#include "platform/system_functions.h"
#include "output/output.h"

// What the service control manager sees, recorded through the frame's bound
// SetServiceStatus, and the events written through the replaced event log.
namespace {

using engine_test::SavedTables;
using engine_test::ScratchKey;

constexpr char kClientsPath[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Clients";
const auto kFakeStatusHandle = reinterpret_cast<SERVICE_STATUS_HANDLE>(0x5150);

struct Report {
    DWORD state, checkPoint, waitHint, accepted, exitCode, specificExitCode;
    bool operator==(const Report&) const = default;
};
void PrintTo(const Report& r, std::ostream* os) {
    *os << "{state " << r.state << ", check " << r.checkPoint << ", hint " << r.waitHint
        << ", accepted " << r.accepted << ", exit " << r.exitCode << ", specific "
        << r.specificExitCode << "}";
}

struct Event {
    WORD type;
    DWORD id;
    std::vector<std::string> texts;
};

std::vector<Report> Reports;
std::vector<DWORD> ServiceTypes;
std::vector<Event> Events;
int FailingReport = 0;  // 1-based number of the report that fails, 0: none
DWORD FailureCode = 0;
LPHANDLER_FUNCTION Handler = nullptr;
SERVICE_STATUS_HANDLE HandleGiven = nullptr;

SERVICE_STATUS_HANDLE WINAPI FakeRegister(const char* name, LPHANDLER_FUNCTION handler) {
    EXPECT_STREQ(name, "Perchman");
    Handler = handler;
    return HandleGiven;
}

// Reports that take a moment to reach the manager, recorded one at a time,
// as from several threads.
volatile bool SlowReports = false;
struct RecordLock {
    CRITICAL_SECTION section;
    RecordLock() { InitializeCriticalSection(&section); }
} Recording;

BOOL WINAPI FakeSetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    EXPECT_EQ(handle, kFakeStatusHandle);
    // Every seventh check point is held up a moment, so that a report sent
    // after it would overtake it were the reports not one at a time.
    if (SlowReports && status->dwCheckPoint % 7 == 0) Sleep(1);
    EnterCriticalSection(&Recording.section);
    Reports.push_back({status->dwCurrentState, status->dwCheckPoint, status->dwWaitHint,
                       status->dwControlsAccepted, status->dwWin32ExitCode,
                       status->dwServiceSpecificExitCode});
    ServiceTypes.push_back(status->dwServiceType);
    LeaveCriticalSection(&Recording.section);
    if (static_cast<int>(Reports.size()) != FailingReport) return TRUE;
    SetLastError(FailureCode);
    return FALSE;
}

HANDLE WINAPI FakeEventSource(const char* server, const char* source) {
    EXPECT_EQ(server, nullptr);
    EXPECT_STREQ(source, "Perchman");
    return reinterpret_cast<HANDLE>(0xE7);
}
BOOL WINAPI FakeReportEvent(HANDLE, WORD type, WORD category, DWORD id, PSID, WORD count, DWORD,
                            const char** texts, void*) {
    EXPECT_EQ(category, 0);
    Events.push_back({type, id, std::vector<std::string>(texts, texts + count)});
    return TRUE;
}
BOOL WINAPI FakeDeregister(HANDLE) { return TRUE; }

product::Status SessionStatus = 0;
DWORD SessionDelayMs = 0;
product::Status WINAPI FakePresentCode(uint32_t) {
    if (SessionDelayMs) Sleep(SessionDelayMs);
    return SessionStatus;
}
HANDLE WINAPI FakeRegisterAlerts(product::AlertCallback, product::AlertCallback) {
    return reinterpret_cast<HANDLE>(0xA1);
}
product::Status WINAPI FakeUnregisterAlerts(HANDLE) { return 0; }

// The parent answers every check with its pattern, after a delay when one
// is set; the checks are counted.
volatile LONG ParentChecks = 0;
volatile DWORD ParentCheckDelayMs = 0;
product::Status WINAPI FakeReadPattern(const char*, const char*, uint8_t* block, uint32_t,
                                       uint32_t*) {
    InterlockedIncrement(&ParentChecks);
    if (DWORD delay = ParentCheckDelayMs) Sleep(delay);
    const DWORD pattern = 1;
    block[0] = sizeof pattern;
    block[1] = 0;
    std::memcpy(block + 2, &pattern, sizeof pattern);
    return 0;
}
uint8_t* WINAPI FakePatternData(uint8_t* block, uint32_t, uint16_t* type) {
    *type = REG_DWORD;
    return block + 2;
}

std::string FormatHex(DWORD code) {
    char text[32];
    FormatText(text, "(0x%x)", static_cast<unsigned>(code));
    return text;
}

std::string SystemText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    if (!text) return "";
    std::string result(text);
    LocalFree(text);
    while (!result.empty() && (result.back() == '\n' || result.back() == '\r')) result.pop_back();
    return result;
}

DWORD WINAPI RunServiceMain(void*) {
    ServiceMain(0, nullptr);
    return 0;
}

// The frame with the service control manager, the event log and the product
// library replaced; the engine loop runs for real on a scratch product key.
class ServiceFrame : public ::testing::Test {
protected:
    void SetUp() override {
        savedFrame_ = FrameFunctions;
        savedEngine_ = EngineFunctions;
        savedSettings_ = EngineSettings;
        Reports.clear();
        ServiceTypes.clear();
        Events.clear();
        FailingReport = 0;
        SessionStatus = 0;
        Handler = nullptr;
        HandleGiven = kFakeStatusHandle;
        ServiceStatusHandle = kFakeStatusHandle;
        FrameFunctions = SystemFunctions{};
        FrameFunctions.RegisterServiceCtrlHandlerA = FakeRegister;
        FrameFunctions.SetServiceStatus = FakeSetStatus;
        EngineFunctions = SystemFunctions{};
        EngineFunctions.CreateWaitableTimerA = ::CreateWaitableTimerA;
        EngineFunctions.SetWaitableTimer = ::SetWaitableTimer;
        EngineFunctions.CancelWaitableTimer = ::CancelWaitableTimer;
        EngineFunctions.RegNotifyChangeKeyValue = ::RegNotifyChangeKeyValue;
        EventLog = {FakeEventSource, FakeReportEvent, FakeDeregister};
        ArmProduct();
        Keys.Root = root_.get();
        Keys.ProductControl = control_.get();
        EngineSettings = EngineSettingsRecord{};
        EngineSettings.RoamClient = 0;  // no search: the frame is under test
        WinsockReady = 0;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kClientsPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &clients_, nullptr);
        ClearEngineStop();
        BeginServiceReports();
    }
    void TearDown() override {
        if (clients_) RegCloseKey(clients_);
        engine_test::DeleteKeyTree(HKEY_LOCAL_MACHINE, kClientsPath);
        if (Product.Module) FreeLibrary(Product.Module);
        FrameFunctions = savedFrame_;
        EngineFunctions = savedEngine_;
        EngineSettings = savedSettings_;
        EventLog = EventLogFunctions{};
        DebugMode = 0;
        ServiceRunning = 0;
        AddressCheckPeriodMs = 60000;
        ClearEngineStop();
    }

    // The session's close unloads the library and empties its table: every
    // run of the service needs it afresh. The parent answers its checks.
    static void ArmProduct() {
        if (!Product.Module) Product.Module = LoadLibraryA("kernel32.dll");
        Product.PresentCallerCode = FakePresentCode;
        Product.RegisterAlertCallbacks = FakeRegisterAlerts;
        Product.UnregisterAlertCallbacks = FakeUnregisterAlerts;
        Product.ReadServerValues = FakeReadPattern;
        Product.GetValueBlockData = FakePatternData;
    }
    // A run of the service on a thread of its own, waiting once it has
    // published the client count.
    HANDLE StartService() {
        ArmProduct();
        RegDeleteValueA(control_.get(), "ClientCount");
        HANDLE service = CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
        for (int i = 0; i < 500 && !control_.HasValue("ClientCount"); ++i) Sleep(10);
        return service;
    }
    // Stops it through the handler; false when it did not end in time.
    bool StopService(HANDLE service, DWORD control = SERVICE_CONTROL_STOP) {
        if (Handler) Handler(control);
        bool ended = WaitForSingleObject(service, 10000) == WAIT_OBJECT_0;
        CloseHandle(service);
        return ended;
    }
    // A run stopped while a parent check of checkMs (a call a stop cannot
    // cut) is under way; false when it did not end in time.
    bool StopDuringAParentCheck(DWORD checkMs) {
        EngineSettings.CheckParentIntervalMs = 0;
        ParentCheckDelayMs = checkMs;
        root_.SetRaw("Parent", REG_SZ, "SRV01");
        root_.SetDword("Connected", 1);
        InterlockedExchange(&ParentChecks, 0);
        HANDLE service = StartService();
        for (int i = 0; i < 500 && ParentChecks < 1; ++i) Sleep(10);
        Sleep(100);  // inside the check
        bool stopped = StopService(service);
        ParentCheckDelayMs = 0;
        return stopped;
    }
    void NextRun() {
        ClearEngineStop();
        BeginServiceReports();
        Reports.clear();
        Events.clear();
    }

    // Check points count up for the whole process: the expected ones are
    // offsets from the first pending report recorded.
    std::vector<Report> Relative() const {
        std::vector<Report> relative = Reports;
        DWORD base = 0;
        for (const Report& r : Reports)
            if (r.checkPoint) {
                base = r.checkPoint;
                break;
            }
        for (Report& r : relative)
            if (r.checkPoint) r.checkPoint = r.checkPoint - base + 1;
        return relative;
    }

    SavedTables saved_;
    SystemFunctions savedFrame_, savedEngine_;
    EngineSettingsRecord savedSettings_;
    ScratchKey root_{"FrameRoot"};
    ScratchKey control_{"FrameControl"};
    HKEY clients_ = nullptr;
};

constexpr DWORD kStartPending = SERVICE_START_PENDING, kStopPending = SERVICE_STOP_PENDING,
                kRunning = SERVICE_RUNNING, kStopped = SERVICE_STOPPED;

// A whole run: start, an interrogate while running, a stop (or the shutdown
// of the machine, which must release the parent just the same) from the
// control handler's thread, and the stop steps of the loop and the body.
// Nothing reaches the manager once "stopped" has.
TEST_F(ServiceFrame, NormalRunReportsTheFullSequenceAndEndsWithExitCodeZero) {
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
        SCOPED_TRACE(control);
        NextRun();
        RegDeleteValueA(root_.get(), "Parent");
        HANDLE service = StartService();
        EXPECT_TRUE(control_.HasValue("ClientCount"));
        EXPECT_EQ(ServiceRunning, 1);
        if (Handler) Handler(SERVICE_CONTROL_INTERROGATE);
        ASSERT_TRUE(StopService(service, control));
        Handler(SERVICE_CONTROL_INTERROGATE);
        Handler(SERVICE_CONTROL_STOP);

        const std::vector<Report> expected = {
            {kStartPending, 1, 3000, 0, 0, 0},  {kStartPending, 2, 3000, 0, 0, 0},
            {kRunning, 0, 0, 5, 0, 0},
            {kRunning, 0, 0, 5, 0, 0},  // the interrogate
            {kStopPending, 3, 0, 5, 0, 0},      {kStopPending, 4, 10000, 5, 0, 0},
            {kStopPending, 5, 12000, 5, 0, 0},  {kStopPending, 6, 3000, 5, 0, 0},
            {kStopped, 0, 0, 5, 0, 0}};
        EXPECT_EQ(Relative(), expected);
        for (DWORD type : ServiceTypes) EXPECT_EQ(type, 0x110u);
        EXPECT_TRUE(Events.empty());
        EXPECT_EQ(ServiceRunning, 0);
        // The loop's stop steps ran: the parent was given up.
        EXPECT_TRUE(root_.HasValue("Parent"));
        // A stop that arrives as the loop ends signals the same live event.
        HANDLE event = EngineStopEvent();
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);
        EXPECT_EQ(EngineStopEvent(), event);
    }
}

// A stop accepted during the start-up, before the loop runs (here while the
// product session is being opened), ends the run as soon as the loop starts.
TEST_F(ServiceFrame, AStopDuringTheStartUpEndsTheRunPromptly) {
    SessionDelayMs = 500;
    ArmProduct();
    HANDLE service = CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
    for (int i = 0; i < 300 && !ServiceRunning; ++i) Sleep(10);
    Sleep(100);
    uint32_t start = ClockMs();
    bool ended = StopService(service);
    uint32_t took = ElapsedMs(start, ClockMs());
    SessionDelayMs = 0;
    ASSERT_TRUE(ended);
    EXPECT_LT(took, 2000u);
    EXPECT_TRUE(root_.HasValue("Parent")) << "the parent was given up";
    EXPECT_EQ(Reports.back().state, kStopped);
    EXPECT_EQ(Reports.back().exitCode, 0u);
}

// A parent-check interval of 0 checks at every opportunity, once a second as
// the Windows 9x loop does, not once after the first search and never again.
TEST_F(ServiceFrame, AZeroParentCheckIntervalChecksAgainEverySecond) {
    EngineSettings.CheckParentIntervalMs = 0;
    root_.SetRaw("Parent", REG_SZ, "SRV01");
    root_.SetDword("Connected", 1);
    InterlockedExchange(&ParentChecks, 0);
    HANDLE service = StartService();
    for (int i = 0; i < 600 && ParentChecks < 3; ++i) Sleep(10);
    LONG checks = ParentChecks;
    ASSERT_TRUE(StopService(service));
    EXPECT_GE(checks, 3);
}

// The loop's looks at the machine's addresses, counted where they ask for
// the host name (which fails: no snapshot, nothing changes).
volatile LONG AddressLooks = 0;
int WINAPI CountedHostName(char*, int) {
    InterlockedIncrement(&AddressLooks);
    return -1;
}

hostent* WINAPI NoHost(const char*) { return nullptr; }

DWORD ClientCountValue(HKEY control) {
    DWORD value = 0, size = sizeof value;
    RegQueryValueExA(control, "ClientCount", nullptr, nullptr, reinterpret_cast<BYTE*>(&value),
                     &size);
    return value;
}

// The address check comes once per period whatever else wakes the loop:
// not in a spin once the first quiet period has passed, and not starved by a
// parent check that lasts as long as its own period (its timer is then
// signalled at every wait). The Clients notification is not starved either.
TEST_F(ServiceFrame, TheAddressCheckComesOncePerPeriodWhateverWakesTheLoop) {
    constexpr DWORD kPeriodMs = 200;
    constexpr DWORD kWatchMs = 1500;
    const struct {
        const char* what;
        DWORD parentCheckMs;  // how long one check lasts; 0: no parent to check
        LONG fewest, most;
    } cases[] = {
        {"a quiet loop", 0, kWatchMs / kPeriodMs - 3, kWatchMs / kPeriodMs + 2},
        {"a parent check due again at every wait", 1100, 1, kWatchMs / kPeriodMs + 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        NextRun();
        AddressCheckPeriodMs = kPeriodMs;
        WinsockReady = 1;
        Winsock.gethostname = CountedHostName;
        Winsock.gethostbyname = NoHost;
        EngineSettings.CheckParentIntervalMs = c.parentCheckMs ? 0 : 3600000;  // 0: every second
        ParentCheckDelayMs = c.parentCheckMs;
        root_.SetRaw("Parent", REG_SZ, "SRV01");
        root_.SetDword("Connected", 1);
        engine_test::DeleteKeyTree(clients_, "Added");

        HANDLE service = StartService();
        LONG before = AddressLooks;
        Sleep(kWatchMs);
        LONG looks = AddressLooks - before;
        HKEY added = nullptr;
        RegCreateKeyExA(clients_, "Added", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &added, nullptr);
        RegCloseKey(added);
        for (int i = 0; i < 300 && ClientCountValue(control_.get()) != 1; ++i) Sleep(10);
        DWORD published = ClientCountValue(control_.get());
        bool stopped = StopService(service);
        engine_test::DeleteKeyTree(clients_, "Added");
        ParentCheckDelayMs = 0;

        ASSERT_TRUE(stopped);
        EXPECT_EQ(published, 1u) << "the notification was not served";
        EXPECT_GE(looks, c.fewest);
        EXPECT_LE(looks, c.most);
    }
}

// A stop that lands in a long piece of work (here a parent check of 2.5 s)
// is answered by stop-pending reports with a wait hint and an advancing
// check point until the loop is out of it; check points never go down.
TEST_F(ServiceFrame, ASlowStopKeepsReportingProgress) {
    ASSERT_TRUE(StopDuringAParentCheck(2500));

    size_t stopAt = 0, loopAt = 0;
    for (size_t i = 0; i < Reports.size(); ++i) {
        if (!stopAt && Reports[i].state == kStopPending) stopAt = i;
        if (Reports[i].state == kStopPending && Reports[i].waitHint == 10000) loopAt = i;
    }
    ASSERT_GT(loopAt, stopAt);
    EXPECT_GE(loopAt - stopAt, 2u) << "no progress report while the check went on";
    for (size_t i = stopAt + 1; i < loopAt; ++i) {
        EXPECT_EQ(Reports[i].state, kStopPending);
        EXPECT_GT(Reports[i].waitHint, 0u);
    }
    DWORD last = 0;
    for (const Report& r : Reports)
        if (r.checkPoint) {
            EXPECT_GT(r.checkPoint, last);
            last = r.checkPoint;
        }
    EXPECT_EQ(Reports.back().state, kStopped);
}

// A stop held up by a call it cannot cut (here a parent check of 4 s) stops
// raising its check point after the limit, and says so in the event log
// once: the manager then sees a stop that no longer moves.
TEST_F(ServiceFrame, AStopStuckPastItsLimitStopsRaisingTheCheckPointAndSaysSo) {
    StopProgressLimitMs = 1500;
    bool stopped = StopDuringAParentCheck(4000);
    StopProgressLimitMs = 90000;
    ASSERT_TRUE(stopped);

    size_t progress = 0;
    for (const Report& r : Reports) progress += r.state == kStopPending && r.waitHint == 3000;
    // One report at a second, then the limit (the body's last step adds one).
    EXPECT_LE(progress, 3u);
    ASSERT_EQ(Events.size(), 1u);
    EXPECT_EQ(Events[0].type, EVENTLOG_WARNING_TYPE);
    EXPECT_EQ(Events[0].id, 110u);
    ASSERT_EQ(Events[0].texts.size(), 1u);
    EXPECT_EQ(Events[0].texts[0].rfind("Perchman has been stopping for ", 0), 0u) << Events[0].texts[0];
    EXPECT_EQ(Reports.back().state, kStopped);
    EXPECT_EQ(Reports.back().exitCode, 0u);
}

// The release marks this client's record on its parent. At a stop it waits
// for that; at the machine's shutdown a parent that does not answer gets
// ShutdownRemoteLimitMs, and the local part is done all the same.
HANDLE RemoteWriteDone = CreateEventA(nullptr, TRUE, FALSE, nullptr);
volatile LONG RemoteWrites = 0;
product::Status WINAPI FakeAddValue(uint8_t*, const char*, uint32_t, uint32_t, const void*,
                                    uint32_t* used) {
    *used = 16;
    return 0;
}
product::Status WINAPI SlowWrite(const char*, const char*, uint32_t, const uint8_t*, uint32_t) {
    Sleep(2000);
    InterlockedIncrement(&RemoteWrites);
    SetEvent(RemoteWriteDone);
    return 0;
}

TEST_F(ServiceFrame, AtShutdownTheReleaseGivesASilentParentOnlyItsLimit) {
    const struct {
        DWORD control;
        bool waitsForTheParent;
    } cases[] = {{SERVICE_CONTROL_STOP, true}, {SERVICE_CONTROL_SHUTDOWN, false}};
    ShutdownRemoteLimitMs = 300;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        NextRun();
        ResetEvent(RemoteWriteDone);
        InterlockedExchange(&RemoteWrites, 0);
        root_.SetRaw("Parent", REG_SZ, "SRV01");
        root_.SetRaw("GUID", REG_BINARY, std::string(16, '\x07'));
        RegDeleteValueA(root_.get(), "LastParent");
        HANDLE service = StartService();
        Product.AddValueToBlock = FakeAddValue;
        Product.WriteServerValues = SlowWrite;
        uint32_t start = ClockMs();
        bool stopped = StopService(service, c.control);
        uint32_t took = ElapsedMs(start, ClockMs());
        LONG writtenAtStop = RemoteWrites;
        // The write left behind ends on its own; the next run needs the library.
        bool writeEnded = WaitForSingleObject(RemoteWriteDone, 5000) == WAIT_OBJECT_0;
        Sleep(50);

        ASSERT_TRUE(stopped);
        EXPECT_TRUE(writeEnded);
        EXPECT_EQ(writtenAtStop, c.waitsForTheParent ? 1 : 0);
        if (c.waitsForTheParent)
            EXPECT_GE(took, 2000u);
        else
            EXPECT_LT(took, 1500u);
        char parent[64] = "";
        DWORD size = sizeof parent - 1;
        RegQueryValueExA(root_.get(), "Parent", nullptr, nullptr, reinterpret_cast<BYTE*>(parent), &size);
        EXPECT_STREQ(parent, "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306");
        EXPECT_TRUE(root_.HasValue("LastParent"));
        EXPECT_EQ(Reports.back().state, kStopped);
    }
    ShutdownRemoteLimitMs = 5000;
}

HANDLE WINAPI NoTimer(SECURITY_ATTRIBUTES*, BOOL, const char*) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return nullptr;
}
BOOL WINAPI TimerNotSet(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, void*, BOOL) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
}
// A handle no object stands behind: the loop's wait on it fails.
HANDLE WINAPI BogusTimer(SECURITY_ATTRIBUTES*, BOOL, const char*) {
    return reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x3FFFFFC0));
}
BOOL WINAPI TimerSet(HANDLE, const LARGE_INTEGER*, LONG, PTIMERAPCROUTINE, void*, BOOL) {
    return TRUE;
}

// The runs that end early, each with the exact sequence it reports. A run
// that could not do its work ends with ERROR_SERVICE_SPECIFIC_ERROR, the
// failing status, and one event 109 that names the failed step; a failed
// status report is its own event and skips the rest of the start.
TEST_F(ServiceFrame, EarlyEndsSkipTheLoopButStillReportStopped) {
    constexpr DWORD kSpecific = ERROR_SERVICE_SPECIFIC_ERROR;
    constexpr DWORD kBogusWait = ERROR_INVALID_HANDLE;
    struct Case {
        const char* description;
        int failingReport;
        product::Status session;
        decltype(&::CreateWaitableTimerA) createTimer;
        decltype(&::SetWaitableTimer) setTimer;
        std::vector<Report> expected;
        const char* failedStep;  // of the one event; null: SetServiceStatus or none
        size_t events;
    };
    const std::vector<Report> running = {{kStartPending, 1, 3000, 0, 0, 0},
                                         {kStartPending, 2, 3000, 0, 0, 0},
                                         {kRunning, 0, 0, 5, 0, 0}};
    auto then = [&](std::vector<Report> tail) {
        std::vector<Report> all = running;
        all.insert(all.end(), tail.begin(), tail.end());
        return all;
    };
    const Case cases[] = {
        {"the product session cannot be opened", 0, product::kLibraryUnavailable, nullptr,
         nullptr,
         then({{kStopPending, 3, 12000, 5, 0, 0}, {kStopPending, 4, 3000, 5, 0, 0},
               {kStopped, 0, 0, 5, kSpecific, product::kLibraryUnavailable}}),
         "OpenProductSession", 1},
        {"the parent-check timer cannot be made", 0, 0, NoTimer, nullptr,
         then({{kStopPending, 3, 12000, 5, 0, 0}, {kStopPending, 4, 3000, 5, 0, 0},
               {kStopped, 0, 0, 5, kSpecific, ERROR_NOT_ENOUGH_MEMORY}}),
         "CreateWaitableTimer", 1},
        {"the parent-check timer cannot be set", 0, 0, nullptr, TimerNotSet,
         then({{kStopPending, 3, 12000, 5, 0, 0}, {kStopPending, 4, 3000, 5, 0, 0},
               {kStopped, 0, 0, 5, kSpecific, ERROR_INVALID_PARAMETER}}),
         "SetWaitableTimer", 1},
        {"the wait fails: the loop ends as on a stop", 0, 0, BogusTimer, TimerSet,
         then({{kStopPending, 3, 10000, 5, 0, 0}, {kStopPending, 4, 12000, 5, 0, 0},
               {kStopPending, 5, 3000, 5, 0, 0}, {kStopped, 0, 0, 5, kSpecific, kBogusWait}}),
         "WaitForMultipleObjects", 1},
        {"the first start-pending report fails: no body", 1, 0, nullptr, nullptr,
         {{kStartPending, 1, 3000, 0, 0, 0}, {kStopped, 0, 0, 5, 0, 0}}, nullptr, 1},
        {"the body's start-pending report fails: no loop", 2, 0, nullptr, nullptr,
         {{kStartPending, 1, 3000, 0, 0, 0}, {kStartPending, 2, 3000, 0, 0, 0},
          {kStopPending, 3, 12000, 5, 0, 0}, {kStopPending, 4, 3000, 5, 0, 0},
          {kStopped, 0, 0, 5, 0, 0}},
         nullptr, 1},
        {"the running report fails: no loop", 3, 0, nullptr, nullptr,
         then({{kStopPending, 3, 12000, 5, 0, 0}, {kStopPending, 4, 3000, 5, 0, 0},
               {kStopped, 0, 0, 5, 0, 0}}),
         nullptr, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Reports.clear();
        Events.clear();
        NextRun();
        RegDeleteValueA(root_.get(), "Parent");
        RegDeleteValueA(control_.get(), "ClientCount");
        FailingReport = c.failingReport;
        FailureCode = ERROR_INVALID_HANDLE;
        SessionStatus = c.session;
        EngineFunctions.CreateWaitableTimerA = c.createTimer ? c.createTimer : ::CreateWaitableTimerA;
        EngineFunctions.SetWaitableTimer = c.setTimer ? c.setTimer : ::SetWaitableTimer;
        ArmProduct();
        // A run that goes on as if it had started is stopped, and fails.
        HANDLE service = CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
        bool ended = WaitForSingleObject(service, 5000) == WAIT_OBJECT_0;
        if (!ended && Handler) Handler(SERVICE_CONTROL_STOP);
        WaitForSingleObject(service, 10000);
        CloseHandle(service);
        EXPECT_TRUE(ended) << "the run went on into the loop";
        EXPECT_EQ(Relative(), c.expected);
        ASSERT_EQ(Events.size(), c.events);
        if (c.events) {
            EXPECT_EQ(Events[0].id, 109u);
            EXPECT_EQ(Events[0].texts.at(0), c.failedStep ? c.failedStep : "SetServiceStatus");
            DWORD status = c.expected.back().specificExitCode;
            if (c.failedStep) {
                EXPECT_NE(Events[0].texts.at(1).find(FormatHex(status)), std::string::npos)
                    << Events[0].texts.at(1);
            }
        }
        // Only the failed wait came as far as the waits, and ends like a
        // stop, with the parent given up.
        EXPECT_EQ(control_.HasValue("ClientCount"), c.createTimer == BogusTimer);
        EXPECT_EQ(root_.HasValue("Parent"), c.createTimer == BogusTimer);
    }
    // Nothing is reported at all when the handler cannot be registered.
    Reports.clear();
    HandleGiven = nullptr;
    ServiceMain(0, nullptr);
    EXPECT_TRUE(Reports.empty());
}

// A failed report is an error event 109 naming SetServiceStatus, with the
// system's text and the code; message 3 stands in for a code without text.
TEST_F(ServiceFrame, AFailedReportWritesEvent109WithTheSystemText) {
    const DWORD codes[] = {ERROR_ACCESS_DENIED, 0x2000002B};
    for (DWORD code : codes) {
        Events.clear();
        Reports.clear();
        FailingReport = 1;
        FailureCode = code;
        EXPECT_FALSE(KeepSCMHappyOnStart(3000));
        ASSERT_EQ(Events.size(), 1u);
        const Event& event = Events[0];
        EXPECT_EQ(event.type, EVENTLOG_ERROR_TYPE);
        EXPECT_EQ(event.id, 109u);
        char expected[kTextSize];
        if (code == ERROR_ACCESS_DENIED) {
            ASSERT_FALSE(SystemText(code).empty());
            FormatText(expected, "%s (0x%x)", SystemText(code).c_str(), static_cast<unsigned>(code));
        } else {
            FormatText(expected, "no se encontr\242 ninguna cadena de error para el error %x (0x%x)",
                       static_cast<unsigned>(code), static_cast<unsigned>(code));
        }
        EXPECT_EQ(event.texts, (std::vector<std::string>{"SetServiceStatus", expected}));
    }
}

struct ReportBurst {
    int count;
    bool interrogate;  // ReportCurrentState instead of a stop-pending step
};
DWORD WINAPI SendReports(void* argument) {
    const auto* burst = static_cast<const ReportBurst*>(argument);
    for (int i = 0; i < burst->count; ++i) {
        if (burst->interrogate)
            ReportCurrentState();
        else
            KeepSCMHappyOnStop(1000);
    }
    return 0;
}

// The dispatcher thread, the service thread and the stop-progress thread all
// report: the manager sees the reports one at a time, with check points that
// only go up, and nothing once "stopped" has gone out.
TEST_F(ServiceFrame, ReportsFromSeveralThreadsKeepTheirOrder) {
    ServiceStatusRecord.dwCurrentState = kStopPending;
    SlowReports = true;
    const ReportBurst steps = {300, false}, questions = {300, true};
    HANDLE threads[] = {CreateThread(nullptr, 0, SendReports, const_cast<ReportBurst*>(&steps), 0, nullptr),
                        CreateThread(nullptr, 0, SendReports, const_cast<ReportBurst*>(&questions), 0, nullptr)};
    for (int i = 0; i < 500 && Reports.size() < 200; ++i) Sleep(2);
    TellSCMAllDoneNow(0);
    WaitForMultipleObjects(2, threads, TRUE, INFINITE);
    for (HANDLE thread : threads) CloseHandle(thread);
    SlowReports = false;

    ASSERT_FALSE(Reports.empty());
    EXPECT_EQ(Reports.back().state, kStopped) << "a report went out after stopped";
    DWORD last = 0;
    for (const Report& r : Reports) {
        if (!r.checkPoint) continue;
        EXPECT_GT(r.checkPoint, last);
        last = r.checkPoint;
    }
}

// Any control but stop re-reports the current state with wait hint 0; while
// pending the check point still advances.
TEST_F(ServiceFrame, InterrogateReReportsTheCurrentState) {
    ServiceStatusRecord.dwCurrentState = kStartPending;
    ServiceControl(SERVICE_CONTROL_INTERROGATE);
    ServiceControl(0x80);  // a user-defined code is answered the same way
    ServiceStatusRecord.dwCurrentState = kRunning;
    ServiceControl(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(Relative(), (std::vector<Report>{{kStartPending, 1, 0, 0, 0, 0},
                                               {kStartPending, 2, 0, 0, 0, 0},
                                               {kRunning, 0, 0, 5, 0, 0}}));
}

// Under "/debug" nothing reaches the service control manager or the event
// log; Ctrl+C and Ctrl+Break stop the engine, other console events are left
// to the next handler.
TEST_F(ServiceFrame, DebugModeReportsNothingAndTheConsoleHandlerStopsTheEngine) {
    DebugMode = 1;
    FailingReport = 1;
    EXPECT_TRUE(KeepSCMHappyOnStart(3000));
    ReportApiFailure("SetServiceStatus");
    EXPECT_TRUE(Reports.empty());
    EXPECT_TRUE(Events.empty());

    const struct {
        DWORD type;
        BOOL handled;
    } cases[] = {{CTRL_C_EVENT, TRUE}, {CTRL_BREAK_EVENT, TRUE}, {CTRL_CLOSE_EVENT, FALSE},
                 {CTRL_LOGOFF_EVENT, FALSE}, {CTRL_SHUTDOWN_EVENT, FALSE}};
    for (const auto& c : cases) {
        ClearEngineStop();
        EXPECT_EQ(ConsoleControlHandler(c.type), c.handled) << c.type;
        EXPECT_EQ(EngineStopRequested(), c.handled != FALSE) << c.type;
    }
}

}  // namespace
