#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/engine_loop.h"
#include "engine/engine_settings.h"
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
    DWORD state, checkPoint, waitHint, accepted, exitCode;
    bool operator==(const Report&) const = default;
};
void PrintTo(const Report& r, std::ostream* os) {
    *os << "{state " << r.state << ", check " << r.checkPoint << ", hint " << r.waitHint
        << ", accepted " << r.accepted << ", exit " << r.exitCode << "}";
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

BOOL WINAPI FakeSetStatus(SERVICE_STATUS_HANDLE handle, SERVICE_STATUS* status) {
    EXPECT_EQ(handle, kFakeStatusHandle);
    Reports.push_back({status->dwCurrentState, status->dwCheckPoint, status->dwWaitHint,
                       status->dwControlsAccepted, status->dwWin32ExitCode});
    ServiceTypes.push_back(status->dwServiceType);
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
product::Status WINAPI FakePresentCode(uint32_t) { return SessionStatus; }
HANDLE WINAPI FakeRegisterAlerts(product::AlertCallback, product::AlertCallback) {
    return reinterpret_cast<HANDLE>(0xA1);
}
product::Status WINAPI FakeUnregisterAlerts(HANDLE) { return 0; }

// The parent answers every check with its pattern; the checks are counted.
volatile LONG ParentChecks = 0;
product::Status WINAPI FakeReadPattern(const char*, const char*, uint8_t* block, uint32_t,
                                       uint32_t*) {
    InterlockedIncrement(&ParentChecks);
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
        Product.Module = LoadLibraryA("kernel32.dll");  // freed by the session's close
        Product.PresentCallerCode = FakePresentCode;
        Product.RegisterAlertCallbacks = FakeRegisterAlerts;
        Product.UnregisterAlertCallbacks = FakeUnregisterAlerts;
        Keys.Root = root_.get();
        Keys.ProductControl = control_.get();
        EngineSettings = EngineSettingsRecord{};
        EngineSettings.RoamClient = 0;  // no search: the frame is under test
        WinsockReady = 0;
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kClientsPath, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &clients_, nullptr);
        InterlockedExchange(&ServiceStopFlag, 0);
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
        InterlockedExchange(&ServiceStopFlag, 0);
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

DWORD WINAPI RunServiceMain(void*) {
    ServiceMain(0, nullptr);
    return 0;
}

// A whole run: start, an interrogate while running, a stop from the control
// handler's thread, and the stop steps of the loop and the body.
TEST_F(ServiceFrame, NormalRunReportsTheFullSequenceAndEndsWithExitCodeZero) {
    HANDLE service = CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
    // The loop is waiting once it has published the client count.
    for (int i = 0; i < 500 && !control_.HasValue("ClientCount"); ++i) Sleep(10);
    ASSERT_TRUE(control_.HasValue("ClientCount"));
    ASSERT_NE(Handler, nullptr);
    EXPECT_EQ(ServiceRunning, 1);
    Handler(SERVICE_CONTROL_INTERROGATE);
    Handler(SERVICE_CONTROL_STOP);
    ASSERT_EQ(WaitForSingleObject(service, 10000), WAIT_OBJECT_0);
    CloseHandle(service);

    const std::vector<Report> expected = {
        {kStartPending, 1, 3000, 0, 0}, {kStartPending, 2, 3000, 0, 0}, {kRunning, 0, 0, 1, 0},
        {kRunning, 0, 0, 1, 0},  // the interrogate
        {kStopPending, 3, 0, 1, 0},     {kStopPending, 4, 10000, 1, 0},
        {kStopPending, 5, 12000, 1, 0}, {kStopPending, 6, 3000, 1, 0},
        {kStopped, 0, 0, 1, 0}};
    EXPECT_EQ(Relative(), expected);
    for (DWORD type : ServiceTypes) EXPECT_EQ(type, 0x110u);
    EXPECT_TRUE(Events.empty());
    EXPECT_EQ(ServiceRunning, 0);
    // The loop's stop steps ran: the parent was given up.
    EXPECT_TRUE(root_.HasValue("Parent"));
}

// A parent-check interval of 0 checks at every opportunity, once a second as
// the Windows 9x loop does, not once after the first search and never again.
TEST_F(ServiceFrame, AZeroParentCheckIntervalChecksAgainEverySecond) {
    EngineSettings.CheckParentIntervalMs = 0;
    root_.SetRaw("Parent", REG_SZ, "SRV01");
    root_.SetDword("Connected", 1);
    Product.ReadServerValues = FakeReadPattern;
    Product.GetValueBlockData = FakePatternData;
    InterlockedExchange(&ParentChecks, 0);
    HANDLE service = CreateThread(nullptr, 0, RunServiceMain, nullptr, 0, nullptr);
    for (int i = 0; i < 500 && !control_.HasValue("ClientCount"); ++i) Sleep(10);
    for (int i = 0; i < 600 && ParentChecks < 3; ++i) Sleep(10);
    LONG checks = ParentChecks;
    ASSERT_NE(Handler, nullptr);
    Handler(SERVICE_CONTROL_STOP);
    ASSERT_EQ(WaitForSingleObject(service, 10000), WAIT_OBJECT_0);
    CloseHandle(service);
    EXPECT_GE(checks, 3);
}

// The runs that end early, each with the exact sequence it reports.
TEST_F(ServiceFrame, EarlyEndsSkipTheLoopButStillReportStopped) {
    struct Case {
        const char* description;
        int failingReport;
        product::Status session;
        std::vector<Report> expected;
        size_t events;
    };
    const Case cases[] = {
        {"the product session cannot be opened", 0, product::kLibraryUnavailable,
         {{kStartPending, 1, 3000, 0, 0}, {kStartPending, 2, 3000, 0, 0}, {kRunning, 0, 0, 1, 0},
          {kStopPending, 3, 12000, 1, 0}, {kStopPending, 4, 3000, 1, 0}, {kStopped, 0, 0, 1, 0}},
         0},
        {"the first start-pending report fails: no body", 1, 0,
         {{kStartPending, 1, 3000, 0, 0}, {kStopped, 0, 0, 1, 0}}, 1},
        {"the body's start-pending report fails: no loop", 2, 0,
         {{kStartPending, 1, 3000, 0, 0}, {kStartPending, 2, 3000, 0, 0},
          {kStopPending, 3, 12000, 1, 0}, {kStopPending, 4, 3000, 1, 0}, {kStopped, 0, 0, 1, 0}},
         1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.description);
        Reports.clear();
        Events.clear();
        FailingReport = c.failingReport;
        FailureCode = ERROR_INVALID_HANDLE;
        SessionStatus = c.session;
        if (!Product.Module) Product.Module = LoadLibraryA("kernel32.dll");
        Product.PresentCallerCode = FakePresentCode;
        ServiceMain(0, nullptr);
        EXPECT_EQ(Relative(), c.expected);
        EXPECT_EQ(Events.size(), c.events);
        EXPECT_FALSE(control_.HasValue("ClientCount")) << "the loop did not run";
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

// Any control but stop re-reports the current state with wait hint 0; while
// pending the check point still advances.
TEST_F(ServiceFrame, InterrogateReReportsTheCurrentState) {
    ServiceStatusRecord.dwCurrentState = kStartPending;
    ServiceControl(SERVICE_CONTROL_INTERROGATE);
    ServiceControl(0x80);  // a user-defined code is answered the same way
    ServiceStatusRecord.dwCurrentState = kRunning;
    ServiceControl(SERVICE_CONTROL_INTERROGATE);
    EXPECT_EQ(Relative(), (std::vector<Report>{{kStartPending, 1, 0, 0, 0},
                                               {kStartPending, 2, 0, 0, 0},
                                               {kRunning, 0, 0, 1, 0}}));
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
        InterlockedExchange(&ServiceStopFlag, 0);
        EXPECT_EQ(ConsoleControlHandler(c.type), c.handled) << c.type;
        EXPECT_EQ(EngineStopRequested(), c.handled != FALSE) << c.type;
    }
}

}  // namespace
