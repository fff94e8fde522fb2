// The sibling agents' takeovers, run in-process against the lab's stand-in
// tools and a file copy that reads each server's files from a folder.

#include "takeover/agent_files.h"
#include "takeover/takeovers.h"

#include "takeover_lab.h"

namespace {

using namespace takeover_lab;

constexpr char kWdrDirectory[] = "c:\\Program Files\\Dovar\\WDR\\bin\\";
// The prefix reports a system of the Windows 2000 family or later.
constexpr char kKpzDirectory[] = "c:\\Program Files\\Dovar\\KPZ\\bin\\w2k-ix86\\";
const char* const kWdrFiles[] = {"wdrtoken.txt", "wdtokgen.exe", "wdagtcfg.exe"};
const char* const kKpzFiles[] = {"relay1.tkn", "enrol.exe"};

void SetString(HKEY key, const char* name, const std::string& value) {
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                   static_cast<DWORD>(value.size() + 1));
}
void SetDword(HKEY key, const char* name, DWORD value) {
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
}

class WdrTakeoverTest : public TakeoverTest {
protected:
    void SetUp() override {
        TakeoverTest::SetUp();
        fs::create_directories(kWdrDirectory);
        EngineSettings.RoamWDR = 1;
        SetDword(Keys.ProductControl, "RoamWDR", 1);
    }
    // Publishes the server's WDR files under a server path, except those named.
    void PublishWdr(const std::string& serverPath, std::vector<std::string> except = {}) {
        auto skipped = [&](const char* name) {
            return std::find(except.begin(), except.end(), name) != except.end();
        };
        if (!skipped("wdrtoken.txt")) PublishText("S1", serverPath + "\\wdrtoken.txt", "token");
        for (const char* tool : {"wdtokgen.exe", "wdagtcfg.exe"})
            if (!skipped(tool)) Publish("S1", serverPath + "\\" + tool, LabTool(tool));
    }
    std::string CopyTraces(const std::string& serverPath, std::vector<DWORD> statuses) {
        std::string traces;
        for (size_t i = 0; i < 3; ++i)
            traces += CopyTrace("S1", "$\\" + serverPath + "\\" + kWdrFiles[i],
                                std::string(kWdrDirectory) + kWdrFiles[i], statuses[i]);
        return traces;
    }
    void ExpectStillRoaming() {
        EXPECT_EQ(EngineSettings.RoamWDR, 1u);
        EXPECT_EQ(ReadDword(Keys.ProductControl, "RoamWDR"), 1u);
    }
};

std::string Generator() { return std::string(kWdrDirectory) + "wdtokgen.exe"; }
std::string ConfigTool() { return std::string(kWdrDirectory) + "wdagtcfg.exe"; }
constexpr char kGeneratorCommand[] = "wdtokgen.exe wdrtoken.txt wdrtoken.tok";
constexpr char kConfigCommand[] = "wdagtcfg.exe -T:wdrtoken.tok";

TEST_F(WdrTakeoverTest, FetchesFromTheDefaultPathRunsBothToolsAndStopsRoaming) {
    PublishWdr("WDR");
    EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 1);
    EXPECT_EQ(out, CopyTraces("WDR", {0, 0, 0}) +
                            RunTrace(Generator(), kWdrDirectory, kGeneratorCommand, 0) +
                            RunTrace(ConfigTool(), kWdrDirectory, kConfigCommand, 0));
    std::vector<ToolLine> runs = ToolRuns();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].commandLine, kGeneratorCommand);
    EXPECT_EQ(runs[1].commandLine, kConfigCommand);
    for (const ToolLine& run : runs)
        EXPECT_TRUE(EqualsNoCase(run.directory + "\\", kWdrDirectory)) << run.directory;
    // The generator made the token from the text in the agent directory.
    EXPECT_TRUE(fs::exists(std::string(kWdrDirectory) + "wdrtoken.tok"));
    EXPECT_EQ(EngineSettings.RoamWDR, 0u);
    EXPECT_FALSE(ReadDword(Keys.ProductControl, "RoamWDR"));
}

TEST_F(WdrTakeoverTest, ServerPathValueNamesWhereTheFilesAre) {
    SetString(Keys.ProductControl, "ParentWDRPath", "Agents\\WDR");
    PublishWdr("Agents\\WDR");
    EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 1);
    EXPECT_EQ(out.rfind(CopyTraces("Agents\\WDR", {0, 0, 0}), 0), 0u) << out;
}

TEST_F(WdrTakeoverTest, UnusableServerPathIsReportedAndNothingIsFetched) {
    struct Case {
        std::string value;
        DWORD error;
    };
    // The longest path the value can hold still fits, but not with the
    // file names behind it: refused rather than cut.
    for (const Case& c : {Case{"", 0}, Case{std::string(255, 'p'), ERROR_FILENAME_EXCED_RANGE}}) {
        SCOPED_TRACE(c.value.size());
        Copies.clear();
        SetString(Keys.ProductControl, "ParentWDRPath", c.value);
        EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 0);
        EXPECT_EQ(out, SystemErrorLine(126, c.error));
        EXPECT_TRUE(Copies.empty());
        ExpectStillRoaming();
    }
}

TEST_F(WdrTakeoverTest, ServerPathLongerThanItsBufferFallsBackToTheDefault) {
    SetString(Keys.ProductControl, "ParentWDRPath", std::string(300, 'p'));
    PublishWdr("WDR");
    EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 1);
    ASSERT_FALSE(Copies.empty());
    EXPECT_EQ(Copies[0].remote, "$\\WDR\\wdrtoken.txt");
}

TEST_F(WdrTakeoverTest, MissingFilesAreEachReportedAndNoToolRuns) {
    struct Case {
        std::vector<std::string> missing;
        std::vector<DWORD> statuses;
        std::vector<unsigned> messages;
    };
    const DWORD absent = ERROR_FILE_NOT_FOUND;
    const Case cases[] = {
        {{"wdrtoken.txt"}, {absent, 0, 0}, {151}},
        {{"wdtokgen.exe"}, {0, absent, 0}, {152}},
        {{"wdagtcfg.exe"}, {0, 0, absent}, {156}},
        {{"wdrtoken.txt", "wdtokgen.exe", "wdagtcfg.exe"}, {absent, absent, absent}, {151, 152, 156}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.messages.back());
        std::error_code ignored;
        fs::remove_all(kServerFiles, ignored);
        fs::create_directories(fs::path(kServerFiles) / "S1" / "WDR");
        PublishWdr("WDR", c.missing);
        EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 0);
        std::string expected;
        for (size_t i = 0, m = 0; i < 3; ++i) {
            expected += CopyTrace("S1", std::string("$\\WDR\\") + kWdrFiles[i],
                                  std::string(kWdrDirectory) + kWdrFiles[i], c.statuses[i]);
            if (c.statuses[i]) expected += ErrorLine(c.messages[m++], c.statuses[i]);
        }
        EXPECT_EQ(out, expected);
        EXPECT_TRUE(ToolRuns().empty());
        ExpectStillRoaming();
    }
}

TEST_F(WdrTakeoverTest, ToolEndingWithAnErrorStopsTheTakeoverWithoutAMessage) {
    struct Case {
        const char* tool;
        DWORD code;
        size_t runs;
    };
    for (const Case& c : {Case{"wdtokgen.exe", 1, 1}, Case{"wdagtcfg.exe", 3, 2}}) {
        SCOPED_TRACE(c.tool);
        std::error_code ignored;
        fs::remove(kAgentsLog, ignored);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kAgentsKey);
        SetToolExitCode(c.tool, c.code);
        PublishWdr("WDR");
        EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 0);
        std::string expected = CopyTraces("WDR", {0, 0, 0}) +
                               RunTrace(Generator(), kWdrDirectory, kGeneratorCommand,
                                        c.runs == 1 ? c.code : 0);
        if (c.runs == 2) expected += RunTrace(ConfigTool(), kWdrDirectory, kConfigCommand, c.code);
        EXPECT_EQ(out, expected);
        EXPECT_EQ(ToolRuns().size(), c.runs);
        ExpectStillRoaming();
    }
}

TEST_F(WdrTakeoverTest, ToolThatCannotStartIsReported) {
    // A "tool" that is no program: the system refuses to start it.
    PublishText("S1", "WDR\\wdrtoken.txt", "token");
    PublishText("S1", "WDR\\wdtokgen.exe", "not a program");
    Publish("S1", "WDR\\wdagtcfg.exe", LabTool("wdagtcfg.exe"));
    EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 0);
    std::string copies = CopyTraces("WDR", {0, 0, 0});
    ASSERT_EQ(out.rfind(copies, 0), 0u) << out;
    std::string report = out.substr(copies.size());
    EXPECT_EQ(report.rfind(Message(154) + " - " + Message(2) + " (", 0), 0u) << report;
    EXPECT_TRUE(ToolRuns().empty());
    ExpectStillRoaming();
}

// A generator that an earlier stop left running holds its file, and a copy
// onto it would fail until it ends: the next takeover waits for it and
// replaces it; one that runs on past the wait is reported as in use (0x20),
// and nothing is run.
TEST_F(WdrTakeoverTest, AToolLeftRunningIsWaitedForOrReportedAsInUse) {
    const struct {
        const char* what;
        DWORD hangMs, waitMs;
        int result;
    } cases[] = {
        {"it ends within the wait", 1500, 30000, 1},
        {"it runs on past the wait", 20000, 500, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EngineSettings.RoamWDR = 1;
        SetDword(Keys.ProductControl, "RoamWDR", 1);
        PublishWdr("WDR");
        ASSERT_TRUE(CopyFileA(LabTool("wdtokgen.exe").c_str(), Generator().c_str(), FALSE));
        SetToolHang("wdtokgen.exe", c.hangMs);
        char command[] = "wdtokgen.exe";
        STARTUPINFOA startup = {};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION left = {};
        ASSERT_TRUE(CreateProcessA(Generator().c_str(), command, nullptr, nullptr, FALSE, 0,
                                   nullptr, kWdrDirectory, &startup, &left));
        Sleep(300);  // it has read its hang
        SetToolHang("wdtokgen.exe", 0);
        ToolEndWaitMs = c.waitMs;
        EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), c.result);
        ToolEndWaitMs = 30000;
        TerminateProcess(left.hProcess, 1);
        WaitForSingleObject(left.hProcess, 5000);
        CloseHandle(left.hThread);
        CloseHandle(left.hProcess);
        if (c.result) {
            EXPECT_EQ(EngineSettings.RoamWDR, 0u);
        } else {
            EXPECT_NE(out.find(ErrorLine(152, ERROR_SHARING_VIOLATION)), std::string::npos) << out;
            ExpectStillRoaming();
        }
    }
}

TEST_F(WdrTakeoverTest, SwitchAlreadyAbsentIsReportedButTheTakeoverSucceeds) {
    RegDeleteValueA(Keys.ProductControl, "RoamWDR");
    PublishWdr("WDR");
    EXPECT_EQ(Printing(out, [] { return TakeOverWDR("S1"); }), 1);
    std::string tail = ErrorLine(159, ERROR_FILE_NOT_FOUND);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(EngineSettings.RoamWDR, 0u);
}

class KpzTakeoverTest : public TakeoverTest {
protected:
    void SetUp() override {
        TakeoverTest::SetUp();
        fs::create_directories(kKpzDirectory);
        EngineSettings.RoamKPZ = 1;
        SetDword(Keys.ProductControl, "RoamKPZ", 1);
    }
    void PublishKpz(bool token, bool tool) {
        if (token) PublishText("S1", "KPZ\\relay1.tkn", "relay");
        if (tool) Publish("S1", "KPZ\\enrol.exe", LabTool("enrol.exe"));
    }
    std::string CopyTraces(DWORD tokenStatus, DWORD toolStatus) {
        return CopyTrace("S1", "$\\KPZ\\relay1.tkn", std::string(kKpzDirectory) + "relay1.tkn",
                         tokenStatus) +
               CopyTrace("S1", "$\\KPZ\\enrol.exe", std::string(kKpzDirectory) + "enrol.exe",
                         toolStatus);
    }
    void ExpectStillRoaming() {
        EXPECT_EQ(EngineSettings.RoamKPZ, 1u);
        EXPECT_EQ(ReadDword(Keys.ProductControl, "RoamKPZ"), 1u);
    }
};

constexpr char kEnrolCommand[] = "enrol.exe -Er relay1.tkn";
std::string Enrol() { return std::string(kKpzDirectory) + "enrol.exe"; }

TEST_F(KpzTakeoverTest, RegistersInThePlatformDirectoryAndStopsRoaming) {
    PublishKpz(true, true);
    EXPECT_EQ(Printing(out, [] { return TakeOverKPZ("S1"); }), 1);
    EXPECT_EQ(out, CopyTraces(0, 0) + RunTrace(Enrol(), kKpzDirectory, kEnrolCommand, 0));
    std::vector<ToolLine> runs = ToolRuns();
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].commandLine, kEnrolCommand);
    EXPECT_TRUE(EqualsNoCase(runs[0].directory + "\\", kKpzDirectory)) << runs[0].directory;
    EXPECT_EQ(EngineSettings.RoamKPZ, 0u);
    EXPECT_FALSE(ReadDword(Keys.ProductControl, "RoamKPZ"));
}

TEST_F(KpzTakeoverTest, MissingFilesAreReportedAndTheToolDoesNotRun) {
    struct Case {
        bool token, tool;
        std::string report;
    };
    const Case cases[] = {
        {false, true, ErrorLine(128, ERROR_FILE_NOT_FOUND)},
        {true, false, ErrorLine(129, ERROR_FILE_NOT_FOUND)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.report);
        std::error_code ignored;
        fs::remove_all(kServerFiles, ignored);
        PublishKpz(c.token, c.tool);
        EXPECT_EQ(Printing(out, [] { return TakeOverKPZ("S1"); }), 0);
        DWORD token = c.token ? 0 : ERROR_FILE_NOT_FOUND;
        DWORD tool = c.tool ? 0 : ERROR_FILE_NOT_FOUND;
        std::string expected =
            c.token ? CopyTraces(token, tool) + c.report
                    : CopyTrace("S1", "$\\KPZ\\relay1.tkn",
                                std::string(kKpzDirectory) + "relay1.tkn", token) +
                          c.report +
                          CopyTrace("S1", "$\\KPZ\\enrol.exe",
                                    std::string(kKpzDirectory) + "enrol.exe", tool);
        EXPECT_EQ(out, expected);
        EXPECT_TRUE(ToolRuns().empty());
        ExpectStillRoaming();
    }
}

TEST_F(KpzTakeoverTest, ToolEndingWithAnErrorLeavesTheRoleRoaming) {
    SetToolExitCode("enrol.exe", 2);
    PublishKpz(true, true);
    EXPECT_EQ(Printing(out, [] { return TakeOverKPZ("S1"); }), 0);
    EXPECT_EQ(out, CopyTraces(0, 0) + RunTrace(Enrol(), kKpzDirectory, kEnrolCommand, 2));
    ExpectStillRoaming();
}

TEST_F(KpzTakeoverTest, EmptyServerPathIsReportedAndNothingIsFetched) {
    SetString(Keys.ProductControl, "ParentKPZPath", "");
    EXPECT_EQ(Printing(out, [] { return TakeOverKPZ("S1"); }), 0);
    EXPECT_EQ(out, SystemErrorLine(134, 0));
    EXPECT_TRUE(Copies.empty());
    ExpectStillRoaming();
}

TEST_F(KpzTakeoverTest, SwitchThatCannotBeRemovedIsReportedButTheTakeoverSucceeds) {
    RegDeleteValueA(Keys.ProductControl, "RoamKPZ");
    PublishKpz(true, true);
    EXPECT_EQ(Printing(out, [] { return TakeOverKPZ("S1"); }), 1);
    std::string tail = ErrorLine(134, ERROR_FILE_NOT_FOUND);
    ASSERT_GE(out.size(), tail.size());
    EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
    EXPECT_EQ(EngineSettings.RoamKPZ, 0u);
}

}  // namespace
