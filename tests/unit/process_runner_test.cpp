#include "takeover/process_runner.h"

#include "engine_fakes.h"
#include "takeover_lab.h"

namespace {

using namespace takeover_lab;

class ProcessRunnerTest : public TakeoverTest {
protected:
    void SetUp() override {
        TakeoverTest::SetUp();
        fs::create_directories(kWork);
    }
    static constexpr char kWork[] = "C:\\PerchmanUnit\\Work";
    static constexpr char kWorkToken[] = "C:\\PerchmanUnit\\Work\\wdrtoken.txt";
};

TEST_F(ProcessRunnerTest, ToolExitCodeIsReturnedAndTracedInDecimalAndHex) {
    // 259 is STILL_ACTIVE: a tool that ends with it must not be waited for again.
    for (DWORD code : {0u, 3u, 259u, 0xC0000005u}) {
        SetToolExitCode("enrol.exe", code);
        std::string tool = LabTool("enrol.exe");
        std::string printed;
        ToolRun run = Printing(printed, [&] {
            return RunAndWait(tool.c_str(), "enrol.exe -Er relay1.tkn", kWork);
        });
        out += printed;
        EXPECT_TRUE(run.started);
        EXPECT_EQ(run.exitCode, code);
    }
    std::string tool = LabTool("enrol.exe");
    std::string expected;
    for (DWORD code : {0u, 3u, 259u, 0xC0000005u})
        expected += RunTrace(tool, kWork, "enrol.exe -Er relay1.tkn", code);
    EXPECT_EQ(out, expected);
    EXPECT_NE(expected.find("3 (0x3)"), std::string::npos);
    EXPECT_NE(expected.find("-1073741819 (0xc0000005)"), std::string::npos);

    std::vector<ToolLine> runs = ToolRuns();
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0].tool, "enrol.exe");
    EXPECT_TRUE(EqualsNoCase(runs[0].directory, kWork)) << runs[0].directory;
    EXPECT_EQ(runs[0].commandLine, "enrol.exe -Er relay1.tkn");
}

// A tool that hangs must not make the engine unstoppable: a stop ends the
// wait, the tool runs on, and the run counts as failed.
TEST_F(ProcessRunnerTest, AStopEndsTheWaitForAToolThatHangs) {
    SetToolHang("enrol.exe", 8000);
    std::string tool = LabTool("enrol.exe");
    ToolRun run;
    DWORD took = 0;
    {
        engine_test::DelayedStop stop(300);
        DWORD start = GetTickCount();
        engine_test::ExpectGivesWayWithin(5000, [&] {
            run = Printing(out, [&] { return RunAndWait(tool.c_str(), "enrol.exe -Er relay1.tkn", kWork); });
        });
        took = GetTickCount() - start;
    }
    EXPECT_TRUE(run.started);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(STILL_ACTIVE));
    EXPECT_LT(took, 3000u);
}

TEST_F(ProcessRunnerTest, ToolThatCannotStartLeavesTheSystemErrorAndNoTrace) {
    std::string missing = std::string(kWork) + "\\absent.exe";
    DWORD error = 0;
    ToolRun run = Printing(out, [&] {
        SetLastError(0xdeadbeef);
        ToolRun result = RunAndWait(missing.c_str(), "absent.exe", kWork);
        error = GetLastError();
        return result;
    });
    EXPECT_FALSE(run.started);
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(out, "");
}

TEST_F(ProcessRunnerTest, CopyStatusIsReturnedAndTraced) {
    ForcedCopyStatus = 5;
    std::string refused;
    EXPECT_EQ(Printing(out, [] {
                  return CopyFileFromServer("S1", "$\\WDR\\wdrtoken.txt", kWorkToken);
              }), 5u);
    Product.RemoteFileCopy = nullptr;
    EXPECT_EQ(Printing(refused, [] { return CopyFileFromServer("S1", "$\\a", "c:\\a"); }),
              product::kLibraryUnavailable);
    out += refused;
    EXPECT_EQ(out, CopyTrace("S1", "$\\WDR\\wdrtoken.txt", kWorkToken, 5) +
                       CopyTrace("S1", "$\\a", "c:\\a", product::kLibraryUnavailable));
    EXPECT_NE(out.find("5 (0x5)"), std::string::npos);
}

}  // namespace
