// The command line as a person types it: which option runs, what is refused
// with the usage text, and the exit status.

#include <string>
#include <vector>

#include "harness/harness.h"

namespace e2e {
namespace {

constexpr unsigned kMsgUsage = 140;
constexpr unsigned kMsgCannotInstall = 108;
constexpr unsigned kMsgBadExtension = 146;
constexpr DWORD kRefused = 0xFFFFFFFF;  // exit status -1

std::string RefusedExtensionText() {
    std::string reason = FormatMessageText(kMsgBadExtension, "EXE");
    return Crlf(FormatMessageText(kMsgCannotInstall, "Perchman", reason.c_str()));
}

std::string Show(const std::vector<std::string>& args) {
    std::string shown;
    for (const std::string& arg : args)
        shown += "[" + (arg.size() > 40 ? arg.substr(0, 40) + "...(" + std::to_string(arg.size()) + ")" : arg) + "]";
    return shown;
}

bool ServiceExists(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) return false;
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_QUERY_STATUS);
    if (service) CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return service != nullptr;
}

TEST(Usage, IsMessage140WithTheOptionWordsPrintedWhole) {
    const std::string usage = FormatMessageText(
        kMsgUsage, "import", "export", "install", "remove", "nearest", "nearest_parent",
        "nearest_quarantine", "nearest_alerts", "nearest_HPD", "nearest_KPZ", "nearest_WDR",
        "nearest_primary", "time_network", "check_parent", "shutdown", "debug");
    // Longer than a message line: it must not be cut at 1023 characters.
    ASSERT_EQ(usage.size(), 1134u) << Escape(usage);
    // Fifteen placeholders: "debug" is handed over but not shown.
    EXPECT_NE(usage.find("Perchman /shutdown: borra el pral."), std::string::npos);
    EXPECT_EQ(usage.find("/debug"), std::string::npos);
    ASSERT_EQ(UsageOutput(), Crlf(usage));

    RunResult result = RunPerchman({"/no_such_option"});
    ASSERT_TRUE(Finished(result));
    EXPECT_BYTES_EQ(Crlf(usage), result.out);
    EXPECT_EQ(result.exitCode, 0u);
}

// Everything here is refused before any network check or product session.
TEST(Usage, PrintedForWhatNoOptionAccepts) {
    const std::string expected = UsageOutput();
    const std::vector<std::vector<std::string>> commandLines = {
        {"-install"},
        {"install"},
        {"install", "D:\\dir", "svc", "Tool.txt"},
        {"\\install"},
        {"/install_"},
        {"/nearest_"},
        {"/parent"},
        {""},
        {"/import"},          // no file: the table is passed by
        {"/time_network"},    // fewer than three arguments
        {"/time_network", "5"},
        // An argument kept in a buffer of 1024 bytes that does not fit it, or
        // an executable name beyond 255 characters: refused whole, never cut.
        {std::string(5000, 'A')},
        {"/import", std::string(5000, 'f')},
        {"/export", std::string(1024, 'f')},
        {"/install", "D:\\dir", "svc", std::string(5000, 'x') + ".txt"},
        {"/install", std::string(1024, 'p')},
        {"/install", "D:\\dir", std::string(1024, 's')},
        {"/install", "D:\\dir", "svc", "D:\\" + std::string(256, 'x') + ".exe"},
        {"/remove", std::string(1024, 'r')},
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(Show(args));
        RunResult result = RunPerchman(args);
        ASSERT_TRUE(Finished(result));
        EXPECT_BYTES_EQ(expected, result.out);
        EXPECT_EQ(result.exitCode, 0u);
    }
}

TEST(Install, RefusedExtensionSaysWhyInstallsNothingAndEndsWithMinusOne) {
    const std::string expected = RefusedExtensionText();
    ASSERT_FALSE(ServiceExists("svc"));
    const std::vector<std::vector<std::string>> commandLines = {
        // The option word in any case.
        {"/install", "D:\\dir", "svc", "Tool.txt"},
        {"/INSTALL", "D:\\dir", "svc", "Tool.txt"},
        {"/Install", "D:\\dir", "svc", "Tool.txt"},
        {"/iNsTaLl", "D:\\dir", "svc", "Tool.txt"},
        // The extension is what follows the last point of the file name only.
        {"/install", "D:\\dir", "svc", "D:\\other.exe\\tool.com"},
        {"/install", "D:\\dir", "svc", "tool.exe.bak"},
        {"/install", "D:\\dir", "svc", "tool."},
        {"/install", "D:\\dir", "svc", "tool.ex"},
        // An argument of 1023 characters still fits.
        {"/install", "D:\\dir", "svc", std::string(1019, 'n') + ".txt"},
        // What follows the executable name is ignored.
        {"/install", "D:\\dir", "svc", "Tool.txt", "extra", "more"},
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(Show(args));
        RunResult result = RunPerchman(args);
        ASSERT_TRUE(Finished(result));
        EXPECT_BYTES_EQ(expected, result.out);
        EXPECT_EQ(result.exitCode, kRefused);
        EXPECT_FALSE(ServiceExists("svc"));
    }
    // Nor on Windows 98, where installing is a startup entry instead of a service.
    RunOptions win98;
    win98.version = Windows::Win98;
    RunResult result = RunPerchman({"/install", "D:\\dir", "svc", "Tool.txt"}, win98);
    ASSERT_TRUE(Finished(result));
    EXPECT_BYTES_EQ(expected, result.out);
    EXPECT_EQ(result.exitCode, kRefused);
    EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE,
                             "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices", "svc"));
}

// Arguments behind those an option uses are ignored, whatever their length.
TEST(Remove, IgnoresArgumentsBehindTheServiceName) {
    RunResult result = RunPerchman({"/remove", "svc", std::string(1100, 'x')});
    ASSERT_TRUE(Finished(result));
    std::string removing = Crlf(FormatMessageText(119, "Perchman", "svc"));
    EXPECT_BYTES_EQ(removing, result.out.substr(0, removing.size()));
}

TEST(NoArgument, FromAConsoleOnNtPrintsNothingAndReturns) {
    for (Windows version : {Windows::NT4, Windows::Win2000, Windows::XP}) {
        SCOPED_TRACE(WineVersionName(version));
        RunOptions options;
        options.version = version;
        options.timeoutMs = 60000;
        RunResult result = RunPerchman({}, options);
        ASSERT_TRUE(Finished(result));
        EXPECT_BYTES_EQ("", result.out);
        EXPECT_EQ(result.exitCode, 0u);
    }
}

// The time_network checks come after the network check and the session: they
// need the lab network and its product library, and the network check.
// Disabled until those are in this build.
class TimeNetworkArguments : public ProductTest {};

TEST_F(TimeNetworkArguments, BadNumbersOrAMissingListPrintTheUsageText) {
    const std::string expected = UsageOutput();
    const std::vector<std::vector<std::string>> commandLines = {
        {"/time_network", "5", "x", "HQ"},
        {"/time_network", "-1", "10", "HQ"},
        {"/time_network", "1.5", "10", "HQ"},
        {"/time_network", "5", "10"},
        {"/TIME_NETWORK", "5", "", "HQ"},
        {"/time_network", "5", "10", std::string(1024, 'L')},
    };
    for (const auto& args : commandLines) {
        SCOPED_TRACE(Show(args));
        RunResult result = RunPerchman(args);
        ASSERT_TRUE(Finished(result));
        EXPECT_BYTES_EQ(expected, result.out);
        EXPECT_EQ(result.exitCode, 0u);
    }
}

}  // namespace
}  // namespace e2e
