// The real perchman.exe as a service of Wine's service control manager under
// emulated NT 4.0, 2000 and XP, and as "/debug" in a console, against the
// lab's network and the product stand-in.

#include <windows.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "debug_monitor.h"
#include "harness/harness.h"
#include "harness/service_control.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet/labnet.h"

namespace {

using e2e::Crlf;
using e2e::FormatMessageText;
using e2e::Windows;

constexpr char kHome[] = "C:\\PerchmanLab\\E2EServiceHome";
constexpr char kHpdPath[] = "C:\\PerchmanLab\\E2EServiceHome\\HPD.DAT";
constexpr char kClients[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Clients";
constexpr char kCommon[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Common";

// The search and takeover times vary: every "<digits> ms" becomes "# ms".
std::string WithoutTimes(const std::string& text) {
    std::string result;
    for (size_t i = 0; i < text.size();) {
        size_t digits = i;
        while (digits < text.size() && text[digits] >= '0' && text[digits] <= '9') ++digits;
        if (digits > i && text.compare(digits, 3, " ms") == 0) {
            result += '#';
            i = digits;
        } else {
            result.append(text, i, digits > i ? digits - i : 1);
            i = digits > i ? digits : i + 1;
        }
    }
    return result;
}

std::optional<std::string> Root(const char* name) {
    return e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, name);
}

std::optional<DWORD> ClientCount() {
    return e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount");
}

bool InLabNamespace() { return std::getenv("PERCHMAN_NETNS") != nullptr; }

// A debugger-channel line of the service: its text after the clock, compared
// with a message whose times are left out.
std::function<bool(const lab::DebugLine&)> LineOf(const std::string& message) {
    return [expected = WithoutTimes(message)](const lab::DebugLine& line) {
        return WithoutTimes(e2e::WithoutClock(line.text)) == expected + "\n";
    };
}

size_t CountLines(const lab::DebugMonitor& monitor, const std::string& message) {
    size_t count = 0;
    auto matches = LineOf(message);
    for (const lab::DebugLine& line : monitor.Lines()) count += matches(line) ? 1 : 0;
    return count;
}

std::string AddressBytes(std::initializer_list<uint8_t> bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// Each test installs the service itself (installation is not under test
// here) and removes it again, with the product stand-in installed beside it.
class ServiceE2E : public e2e::ProductTest {
protected:
    void SetUp() override {
        e2e::ProductTest::SetUp();
        ASSERT_EQ(0u, kestrel::InstallService(e2e::BuildPath("lab")));
        kestrel::StopService();
        kestrel::ResetBehaviour();
        CreateDirectoryA("C:\\PerchmanLab", nullptr);
        CreateDirectoryA(kHome, nullptr);
        DeleteFileA(kHpdPath);
        e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Home Directory", kHome);
        e2e::SetBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "GUID", e2e::kTestGuid);
        e2e::CreateKey(HKEY_LOCAL_MACHINE, kClients);
        ASSERT_EQ(0u, e2e::InstallPerchmanService());
    }
    void TearDown() override {
        e2e::StopPerchmanService();
        e2e::RemovePerchmanService();
        kestrel::StopService();
        kestrel::UninstallService();
        kestrel::ResetBehaviour();
        DeleteFileA(kHpdPath);
        RemoveDirectoryA(kHome);
        e2e::ProductTest::TearDown();
    }

    // The product's current parent, connected.
    static void Parent(const char* name) {
        e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", name);
        e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Connected", 1);
    }
    // A parent that is taken over in full: the stand-in product confirms.
    void LoadSwitchToSrv01() {
        Load("server SRV01 latency=2 pattern=3\n"
             "list <local> Parent 0 SRV01\n"
             "list <local> Alerts 0 SRV01\n"
             "dword <local> ProductControl RoamAlerts 1\n"
             "site HERE 203.0.113.7\n"
             "lab record\n");
        Parent("OLD");
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "LastParent");
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress");
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount");
        DeleteFileA(kHpdPath);
    }
};

// Start, both enabled roles searched and taken over, the client count kept
// up to date, stop with the parent released, on every NT version.
TEST_F(ServiceE2E, RunsSearchesPublishesAndReleasesOnEveryNtVersion) {
    lab::DebugMonitor monitor;
    std::string error;
    ASSERT_TRUE(monitor.Start(&error)) << error;
    for (Windows version : {Windows::NT4, Windows::Win2000, Windows::XP}) {
        SCOPED_TRACE(e2e::WineVersionName(version));
        LoadSwitchToSrv01();
        if (InLabNamespace()) {
            ASSERT_TRUE(lab::MoveToSite("HERE", &error)) << error;
        }
        monitor.TakeLines();
        ASSERT_EQ(0u, kestrel::StartService());
        e2e::CreateKey(HKEY_LOCAL_MACHINE, std::string(kClients) + "\\EARLY");
        ASSERT_EQ(0u, e2e::StartPerchmanService(version));

        // The first search runs after the running report.
        EXPECT_TRUE(e2e::WaitUntil([] { return ClientCount().has_value(); }, 60000));
        EXPECT_EQ(ClientCount(), 1u);
        EXPECT_EQ(Root("Parent"), "SRV01");
        EXPECT_TRUE(lab::ReadLocalFile(kHpdPath).has_value());
        EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, kCommon, "NQSSERVER"), "SRV01");
        // The roles are searched one after another and their lines reach the
        // channel through the service's writer thread: the Alerts search may
        // still be under way when the count is published.
        const std::string alertsFound = FormatMessageText(95, "Alerts", "SRV01", 0);
        EXPECT_TRUE(e2e::WaitUntil([&] { return CountLines(monitor, alertsFound) > 0; }, 30000));
        EXPECT_EQ(CountLines(monitor, FormatMessageText(95, "", "SRV01", 0)), 1u);
        EXPECT_EQ(CountLines(monitor, FormatMessageText(96, "SRV01", 0)), 1u);
        EXPECT_EQ(CountLines(monitor, alertsFound), 1u);

        // One client, then a burst of them (a change while the count is
        // taken must not be lost), then all of them gone again.
        const struct {
            int first, last;  // LATE<n> for n in [first, last)
            bool add;
            DWORD expected;
        } steps[] = {{0, 1, true, 2}, {1, 10, true, 11}, {0, 10, false, 1}};
        for (const auto& step : steps) {
            for (int n = step.first; n < step.last; ++n) {
                std::string client = std::string(kClients) + "\\LATE" + std::to_string(n);
                if (step.add)
                    e2e::CreateKey(HKEY_LOCAL_MACHINE, client);
                else
                    e2e::DeleteKeyTree(HKEY_LOCAL_MACHINE, client);
            }
            EXPECT_TRUE(e2e::WaitUntil([&] { return ClientCount() == step.expected; }, 1000))
                << "ClientCount " << ClientCount().value_or(0xFFFFFFFF) << " for " << step.expected;
        }

        e2e::ServiceStop stop = e2e::StopPerchmanService();
        ASSERT_TRUE(stop.stopped);
        EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
        EXPECT_EQ(Root("Parent"), e2e::kParentMarker);
        EXPECT_EQ(Root("LastParent"), "SRV01");
        EXPECT_EQ(lab::ReadDword("SRV01", e2e::TestClientRecordKey(), "good"), 0u);
        std::optional<std::string> address =
            e2e::ReadBinary(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress");
        ASSERT_TRUE(address.has_value());
        if (InLabNamespace())
            EXPECT_BYTES_EQ(AddressBytes({203, 0, 113, 7}), *address);
        else
            EXPECT_TRUE(!address->empty() && address->size() % 4 == 0) << address->size();
        e2e::DeleteKeyTree(HKEY_LOCAL_MACHINE, std::string(kClients) + "\\EARLY");
    }
    // The per-program Windows version reaches a process that services.exe
    // starts: as Windows 3.1 the start-up fails and the service never runs.
    EXPECT_NE(0u, e2e::StartPerchmanService(Windows::Win31));
}

// A search whose servers all answer but none within its limit retries every
// 30 s; a stop during that pause is honoured at once and still releases.
TEST_F(ServiceE2E, AStopDuringAHopelessRetryEndsWithinTwoSeconds) {
    Load("server SLOW latency=40\n"
         "list <local> Parent 0 SLOW(5)\n"
         "lab record\n");
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", "SLOW");
    ASSERT_EQ(0u, e2e::StartPerchmanService(Windows::XP));
    // Past the first round (warm-up and seven samples), inside the pause.
    ASSERT_TRUE(e2e::WaitUntil([] { return lab::CallLogLines().size() >= 8; }, 30000))
        << lab::ReadCallLog();
    Sleep(500);
    e2e::ServiceStop stop = e2e::StopPerchmanService();
    ASSERT_TRUE(stop.stopped);
    EXPECT_LT(stop.ms, 2000.0);
    EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
    EXPECT_EQ(Root("Parent"), e2e::kParentMarker);
    EXPECT_EQ(Root("LastParent"), "SLOW");
}

// The minute-long waits, in one run of about a minute: the machine moves to
// another site and its parent stops answering. The parent check of the minute
// fails (message 107) and searches; the address check sees the move and
// searches again; the nearest parent of the new site takes the machine over.
TEST_F(ServiceE2E, SlowWaitAMoveAndAFailedParentCheckStartNewSearches) {
    if (!InLabNamespace()) GTEST_SKIP() << "needs the lab's network namespace (tools/labshell.sh)";
    Load("server SRV-MAD latency=30 pattern=7\n"
         "server SRV-BCN latency=30 pattern=7\n"
         "list <local> Parent 0 SRV-MAD,SRV-BCN\n"
         "site MADRID 192.0.2.10 SRV-MAD=4 SRV-BCN=35\n"
         "site BARCELONA 198.51.100.20 203.0.113.20 SRV-MAD=35 SRV-BCN=5\n"
         "dword <local> ProductControl CheckParentIntervalInMinutes 1\n");
    Parent("OLD");
    std::string error;
    ASSERT_TRUE(lab::MoveToSite("MADRID", &error)) << error;
    lab::DebugMonitor monitor;
    ASSERT_TRUE(monitor.Start(&error)) << error;
    ASSERT_EQ(0u, kestrel::StartService());
    ASSERT_EQ(0u, e2e::StartPerchmanService(Windows::XP));
    ASSERT_TRUE(monitor.WaitFor(LineOf(FormatMessageText(96, "SRV-MAD", 0)), 60000));
    DWORD processed = kestrel::ReadBehaviour(kestrel::kProcessedValue);

    ASSERT_TRUE(lab::SetBehaviour("SRV-MAD", "Down", 1));
    ASSERT_TRUE(lab::MoveToSite("BARCELONA", &error)) << error;
    EXPECT_TRUE(monitor.WaitFor(LineOf(FormatMessageText(107, "SRV-MAD", 1, 0xFFFFFFFFu)), 75000));
    // One search after the failed check, one after the address change.
    auto bothSearches = [&] {
        return CountLines(monitor, FormatMessageText(96, "SRV-BCN", 0)) >= 2;
    };
    EXPECT_TRUE(e2e::WaitUntil(bothSearches, 30000));
    EXPECT_EQ(CountLines(monitor, FormatMessageText(95, "", "SRV-BCN", 0)), 2u);
    EXPECT_EQ(Root("Parent"), "SRV-BCN");
    EXPECT_NE(lab::ReadLocalFile(kHpdPath).value_or("").find("Parent=SSRV-BCN"), std::string::npos);
    EXPECT_GT(kestrel::ReadBehaviour(kestrel::kProcessedValue), processed) << "the product took the file in";

    e2e::ServiceStop stop = e2e::StopPerchmanService();
    ASSERT_TRUE(stop.stopped);
    EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
    EXPECT_BYTES_EQ(AddressBytes({198, 51, 100, 20, 203, 0, 113, 20}),
                    e2e::ReadBinary(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress")
                        .value_or(""));
    EXPECT_EQ(lab::ReadDword("SRV-BCN", e2e::TestClientRecordKey(), "good"), 0u);
}

// "/debug" runs the same body in a console; Ctrl+C ends it through the normal
// shut-down. Wine's GenerateConsoleCtrlEvent sends only Ctrl+C (Ctrl+Break is
// handled alike, see the unit test of the handler), and only to the sender's
// console: the run takes a console of its own in a dedicated e2e_tests
// process, so that no later test inherits it.
TEST(ServiceConsole, DebugInAConsoleStopsOnCtrlC) {
    e2e::RunOptions options;
    options.extraEnvironment = {"PERCHMAN_DEDICATED_RUN=console"};
    e2e::RunResult result = e2e::RunProgram(e2e::BuildPath("tests\\e2e_tests.exe"),
                                            {"--gtest_filter=DedicatedConsole.*"}, options);
    ASSERT_TRUE(e2e::Finished(result));
    EXPECT_EQ(result.exitCode, 0u) << result.out;
    EXPECT_NE(result.out.find("[  PASSED  ] 1 test."), std::string::npos) << result.out;
}

class DedicatedConsole : public e2e::ProductTest {};

TEST_F(DedicatedConsole, DebugRunStopsOnCtrlC) {
    if (!std::getenv("PERCHMAN_DEDICATED_RUN")) GTEST_SKIP() << "runs in a process of its own";
    Load("server SRV01 latency=2\nlist <local> Alerts 0 SRV01\n"
         "dword <local> ProductControl RoamClient 0\n"
         "dword <local> ProductControl RoamAlerts 1\n");
    FreeConsole();
    ASSERT_TRUE(AllocConsole());  // the child inherits it
    SetConsoleCtrlHandler([](DWORD) WINAPI -> BOOL { return TRUE; }, TRUE);  // sent to us too

    e2e::RunOptions options;
    bool signalled = false;
    options.whileRunning = [&](DWORD) {
        // The loop waits once it has published the client count.
        if (!e2e::WaitUntil([] { return ClientCount().has_value(); }, 60000)) return;
        signalled = GenerateConsoleCtrlEvent(CTRL_C_EVENT, 0) != FALSE;
    };
    e2e::RunResult run = e2e::RunPerchman({"/debug"}, options);
    ASSERT_TRUE(e2e::Finished(run)) << e2e::Describe(run);
    EXPECT_TRUE(signalled);
    EXPECT_EQ(run.exitCode, 0u);
    std::string expected = Crlf(FormatMessageText(115, "Perchman") +
                                FormatMessageText(95, "Alerts", "SRV01", 0) +
                                FormatMessageText(104, "SRV01", 0)) +
                           FormatMessageText(111, "Perchman");
    EXPECT_BYTES_EQ(WithoutTimes(expected), WithoutTimes(run.out));
    EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, kCommon, "NQSSERVER"), "SRV01");
    EXPECT_EQ(Root("Parent"), e2e::kParentMarker);  // the normal shut-down released it
}

// The executable is the event message file: event 109 reads as a sentence.
TEST(ServiceEventMessages, Event109ReadsAsASentence) {
    HMODULE module = LoadLibraryExA(e2e::PerchmanPath().c_str(), nullptr,
                                    LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    DWORD_PTR strings[] = {reinterpret_cast<DWORD_PTR>("SetServiceStatus"),
                           reinterpret_cast<DWORD_PTR>("Acceso denegado. (0x5)")};
    char text[256] = "";
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module, 109, 0, text, sizeof text,
                                  reinterpret_cast<va_list*>(strings));
    FreeLibrary(module);
    EXPECT_BYTES_EQ("SetServiceStatus failed: Acceso denegado. (0x5)\r\n",
                    std::string(text, length));
}

}  // namespace
