// Start-up under each emulated Windows family, without WinINet and without the
// product's registry keys.

#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/win9x_systems.h"

namespace e2e {
namespace {

constexpr DWORD kRefused = 0xFFFFFFFF;  // exit status -1

struct Family {
    Windows version;
    const char* flag;  // what the unit run expects: "win9x", "nt4" or "win2000"
};
const Family kFamilies[] = {{Windows::Win95, "win9x"},
                            {Windows::Win98, "win9x"},
                            {Windows::WinMe, "win9x"},
                            {Windows::NT4, "nt4"},
                            {Windows::Win2000, "win2000"},
                            {Windows::XP, "win2000"}};

// One unit test alone in a fresh unit_tests.exe, with the Windows version set
// for that program's name; the test reads what it is to expect from
// PERCHMAN_DEDICATED_RUN.
::testing::AssertionResult RunUnitTestAlone(const std::string& test, Windows version,
                                            const std::string& expectation) {
    RunOptions options;
    options.version = version;
    options.timeoutMs = 60000;
    options.extraEnvironment = {"PERCHMAN_DEDICATED_RUN=" + expectation};
    RunResult result = RunProgram(BuildPath("tests\\unit_tests.exe"),
                                  {"--gtest_filter=" + test}, options);
    if (!Finished(result)) return Finished(result);
    bool passed = result.exitCode == 0 && result.out.find("[  PASSED  ] 1 test.") != std::string::npos &&
                  result.out.find("SKIPPED") == std::string::npos;
    if (passed) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << test << " under " << WineVersionName(version) << ": "
                                         << result.out;
}

// The family flag is not printed by any mode; the unit run observes it where
// it is decided, in a process whose emulated version is the one under test.
TEST(WindowsFamily, EachEmulatedVersionSetsItsFlagAndBindsItsSet) {
    for (const Family& family : kFamilies)
        EXPECT_TRUE(RunUnitTestAlone("DedicatedRun.FamilyFlagAndBoundSetFollowTheEmulatedWindows",
                                     family.version, family.flag));
}

// A failed binding prints message 132 or 133 and ends the run before dispatch:
// the usage text shows that the start-up passed under every family.
TEST(WindowsFamily, PerchmanStartsAndDispatchesUnderEachVersion) {
    for (const Family& family : kFamilies) {
        SCOPED_TRACE(WineVersionName(family.version));
        RunOptions options;
        options.version = family.version;
        RunResult result = RunPerchman({"/unknown"}, options);
        ASSERT_TRUE(Finished(result));
        EXPECT_BYTES_EQ(UsageOutput(), result.out);
        EXPECT_EQ(result.exitCode, 0u);
    }
}

// On a platform of neither family the start-up fails once, says so, and no
// option is looked at.
TEST(WindowsFamily, UnknownPlatformEndsTheRunBeforeDispatch) {
    const std::string expected = Crlf(Message(131));
    ASSERT_FALSE(expected.empty());
    RunOptions options;
    options.version = Windows::Win31;
    const std::vector<std::vector<std::string>> commandLines = {
        {}, {"/unknown"}, {"/install", "C:\\dir", "svc", "Tool.txt"}, {"/debug"}};
    for (const auto& args : commandLines) {
        SCOPED_TRACE(testing::Message() << args.size() << " arguments");
        RunResult result = RunPerchman(args, options);
        ASSERT_TRUE(Finished(result));
        EXPECT_BYTES_EQ(expected, result.out);
        EXPECT_EQ(result.exitCode, kRefused);
    }
}

TEST(Clock, FirstReadingOfAProcessIsZero) {
    EXPECT_TRUE(RunUnitTestAlone("DedicatedRun.FirstClockReadingIsZero", Windows::XP, "fresh"));
}

// The debugger channel as a debugger receives it: one OutputDebugStringA per
// line, the clock, " - ", the text with its own line break and one more.
TEST(DebuggerChannel, ServiceLinesArriveWithTheClockPrefix) {
    RunOptions options;
    options.extraEnvironment = {"PERCHMAN_DEDICATED_RUN=debugger"};
    RunResult result = RunProgram(BuildPath("tests\\unit_tests.exe"),
                                  {"--gtest_filter=DedicatedRun.ServiceLineGoesToTheDebugger"},
                                  options);
    ASSERT_TRUE(Finished(result));
    ASSERT_EQ(result.exitCode, 0u) << Describe(result);
    ASSERT_EQ(result.debugLines.size(), 1u) << Describe(result);
    const std::string& line = result.debugLines[0];
    EXPECT_EQ(WithoutClock(line), "Buscando el servidor\n\n") << Escape(line);
    EXPECT_NE(WithoutClock(line), line) << "no clock prefix: " << Escape(line);
}

struct Mode {
    std::vector<std::string> args;
    DWORD exitCode;
    bool needsNetwork;
};

// Every mode that returns by itself ("/debug" and the Windows 9x background
// mode run until stopped) and does not install anything.
const Mode kModes[] = {
    {{}, 0, false},
    {{"/unknown"}, 0, false},
    {{"/import", "C:\\no such folder\\import.txt"}, 0, true},
    {{"/export"}, 0, true},
    {{"/shutdown"}, 0, true},
    {{"/nearest"}, 0, true},
    {{"/nearest_parent"}, 0, true},
    {{"/nearest_quarantine"}, 0, true},
    {{"/nearest_HPD"}, 0, true},
    {{"/nearest_KPZ"}, 0, true},
    {{"/nearest_WDR"}, 0, true},
    {{"/nearest_primary"}, 0, true},
    {{"/nearest_alerts"}, 0, true},
    {{"/time_network", "1", "10", "NOSUCHSERVER"}, 0, true},
    {{"/check_parent"}, 0, true},
    {{"/remove", "PerchmanNoSuchService"}, 0, false},
    {{"/install", "C:\\dir", "svc", "Tool.txt"}, kRefused, false},
};

std::string Show(const std::vector<std::string>& args) {
    std::string shown = "perchman";
    for (const std::string& arg : args) shown += " " + arg;
    return shown;
}

class Degraded : public ProductTest {};

TEST_F(Degraded, WithoutWinInetEveryModeStarts) {
    // The observation means something: an ordinary run does load WinINet.
    RunResult ordinary = RunPerchman({"/unknown"});
    ASSERT_TRUE(Finished(ordinary));
    ASSERT_TRUE(ordinary.Loaded("wininet.dll"));

    RunOptions options;
    options.dllOverrides = "wininet=d";
    options.timeoutMs = 60000;
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(Show(mode.args));
        RunResult result = RunPerchman(mode.args, options);
        ASSERT_TRUE(Finished(result));
        EXPECT_EQ(result.exitCode, mode.exitCode) << Describe(result);
        EXPECT_FALSE(result.Loaded("wininet.dll"));
    }
}

// A Windows 95 without Winsock 2 has no WinINet either (it needs the socket
// library): the program finds no connection state there, so every operation
// that needs the network says so with its own message and does nothing more,
// and the others run as on any machine.
TEST_F(Degraded, OnWindows95WithoutWinsock2TheNetworkOperationsSayThereIsNone) {
    // The observation means something: an ordinary Windows 95 has both.
    RunResult ordinary = RunPerchman({"/unknown"}, Win9xRunOptions(kWin9xSystems[1]));
    ASSERT_TRUE(Finished(ordinary));
    ASSERT_TRUE(ordinary.Loaded("ws2_32.dll") && ordinary.Loaded("wininet.dll")) << Describe(ordinary);

    RunOptions options = Win9xRunOptions(Win95WithoutWinsock2System());
    options.timeoutMs = 60000;
    for (const Mode& mode : kModes) {
        if (mode.args.empty()) continue;  // the background mode on this family
        SCOPED_TRACE(Show(mode.args));
        RunResult result = RunPerchman(mode.args, options);
        ASSERT_TRUE(Finished(result));
        EXPECT_EQ(result.exitCode, mode.exitCode) << Describe(result);
        EXPECT_FALSE(result.Loaded("ws2_32.dll"));
        EXPECT_FALSE(result.Loaded("wininet.dll"));
        if (mode.needsNetwork) {
            EXPECT_BYTES_EQ(Crlf(Message(160)), result.out);
        } else {
            EXPECT_EQ(result.out.find(Message(160)), std::string::npos) << Escape(result.out);
        }
    }
}

TEST_F(Degraded, WithoutTheProductRootEveryModeStarts) {
    RemoveProductRoot();
    RunOptions options;
    options.timeoutMs = 60000;
    for (const Mode& mode : kModes) {
        SCOPED_TRACE(Show(mode.args));
        RunResult result = RunPerchman(mode.args, options);
        ASSERT_TRUE(Finished(result));
        EXPECT_EQ(result.exitCode, mode.exitCode) << Describe(result);
    }
}

}  // namespace
}  // namespace e2e
