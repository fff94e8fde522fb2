#include <gtest/gtest.h>

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "output/output.h"
#include "captured_debug_lines.h"

// Where a line goes: standard output (captured through its descriptor, so the
// console's text-mode translation is part of what is compared), the report
// file, and the debugger channel (caught as the exception OutputDebugStringA
// raises before anyone handles it).
namespace {

std::string ReadWholeFile(const char* path) {
    std::string data;
    if (FILE* file = std::fopen(path, "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0) data.append(buffer, n);
        std::fclose(file);
    }
    return data;
}

std::string TempPath(const char* prefix) {
    char directory[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    GetTempFileNameA(directory, prefix, 0, path);
    return path;
}

// Standard output redirected into a text-mode file for the lifetime of the
// object; no assertion may run while it is active, gtest writes there too.
class CapturedStdout {
public:
    CapturedStdout() : path_(TempPath("out")) {
        std::fflush(stdout);
        saved_ = _dup(1);
        int file = _open(path_.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_TEXT, 0600);
        _dup2(file, 1);
        _close(file);
    }
    ~CapturedStdout() { Finish(); }
    std::string Finish() {
        if (saved_ >= 0) {
            std::fflush(stdout);
            _dup2(saved_, 1);
            _close(saved_);
            saved_ = -1;
            text_ = ReadWholeFile(path_.c_str());
            DeleteFileA(path_.c_str());
        }
        return text_;
    }

private:
    std::string path_;
    int saved_ = -1;
    std::string text_;
};

using unit_test::CapturedDebugLines;

std::string Loaded(unsigned id) {
    char text[kTextSize];
    LoadMessage(id, text);
    return text;
}

// The flags are process-wide; every test starts and ends with both clear.
class Output : public ::testing::Test {
protected:
    void SetUp() override {
        ShowDetail = 0;
        ServiceRunning = 0;
    }
    void TearDown() override {
        ShowDetail = 0;
        ServiceRunning = 0;
        if (!reportPath_.empty()) DeleteFileA(reportPath_.c_str());
    }
    FILE* OpenReport() {
        reportPath_ = TempPath("rep");
        return std::fopen(reportPath_.c_str(), "w");
    }
    std::string CloseReport(FILE* file) {
        std::fclose(file);
        return ReadWholeFile(reportPath_.c_str());
    }
    std::string reportPath_;
};

TEST_F(Output, DetailLineWithoutShowDetailGoesNowhere) {
    FILE* report = OpenReport();
    ASSERT_NE(report, nullptr);
    CapturedDebugLines debug;
    CapturedStdout out;
    PrintMessage("detail\n", report, true);
    PrintMessageId(2, report, true);
    std::string console = out.Finish();
    EXPECT_EQ(console, "");
    EXPECT_EQ(CloseReport(report), "");
    EXPECT_TRUE(debug.lines().empty());
}

TEST_F(Output, LinesReachConsoleAndReportInTextMode) {
    struct Case {
        bool detail;
        LONG showDetail;
    };
    for (Case c : {Case{false, 0}, Case{true, 1}, Case{false, 1}}) {
        SCOPED_TRACE(testing::Message() << "detail " << c.detail << ", ShowDetail " << c.showDetail);
        ShowDetail = c.showDetail;
        FILE* report = OpenReport();
        ASSERT_NE(report, nullptr);
        CapturedStdout out;
        PrintMessage("one\ntwo %s\n", report, c.detail);
        std::string console = out.Finish();
        // The text is data, never a format: "%s" arrives as it was.
        EXPECT_EQ(console, "one\r\ntwo %s\r\n");
        EXPECT_EQ(CloseReport(report), "one\r\ntwo %s\r\n");
    }
}

TEST_F(Output, ServiceRunningSendsEvenDetailLinesToTheDebuggerWithTheClock) {
    ServiceRunning = 1;
    FILE* report = OpenReport();
    ASSERT_NE(report, nullptr);
    CapturedDebugLines debug;
    CapturedStdout out;
    PrintMessage("Buscando\n", report, true);
    std::string console = out.Finish();
    EXPECT_EQ(console, "");
    EXPECT_EQ(CloseReport(report), "Buscando\r\n");
    ASSERT_EQ(debug.lines().size(), 1u);
    const std::string line = debug.lines()[0];
    size_t digits = line.find_first_not_of("0123456789");
    ASSERT_GT(digits, 0u) << line;
    EXPECT_EQ(line.substr(digits), " - Buscando\n\n");
}

TEST_F(Output, PrintLastErrorWithoutSystemTextPutsABlankBeforeTheLineBreak) {
    CapturedStdout out;
    SetLastError(ERROR_ACCESS_DENIED);
    PrintLastError("No se pudo", nullptr, false);
    EXPECT_EQ(out.Finish(), "No se pudo \r\n");
}

TEST_F(Output, PrintLastErrorWithSystemTextNamesTheCodeInHex) {
    CapturedStdout out;
    SetLastError(ERROR_ACCESS_DENIED);
    PrintLastError("No se pudo", nullptr, true);
    std::string console = out.Finish();
    std::string head = "No se pudo - " + Loaded(2) + " (5) ";
    EXPECT_EQ(console.substr(0, head.size()), head) << console;
    EXPECT_GT(console.size(), head.size() + 2) << "no system description: " << console;
}

TEST_F(Output, PrintSystemErrorWithoutDescriptionPrintsMessage4WithTheDecimalCode) {
    // A code of the customer range has no system description.
    constexpr DWORD kNoDescription = 0x2000000D;
    CapturedStdout out;
    SetLastError(kNoDescription);
    PrintSystemError("RegisterServiceProcess");
    std::string console = out.Finish();
    char expected[kTextSize];
    FormatMessageId(expected, sizeof expected, 4, "RegisterServiceProcess",
                    static_cast<int>(kNoDescription));
    EXPECT_NE(std::string(expected).find("536870925"), std::string::npos) << expected;
    std::string crlf;
    for (char c : std::string(expected)) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(console, crlf);
}

TEST_F(Output, PrintSystemErrorDropsTheLineBreakOfTheDescription) {
    CapturedStdout out;
    SetLastError(ERROR_FILE_NOT_FOUND);
    PrintSystemError("CreateMutex");
    std::string console = out.Finish();
    EXPECT_EQ(console.rfind("CreateMutex: ", 0), 0u) << console;
    ASSERT_GE(console.size(), 6u);
    EXPECT_EQ(console.substr(console.size() - 6), " (2)\r\n") << console;
    // Only the line's own break: the description's was dropped.
    EXPECT_EQ(console.find('\n'), console.size() - 1) << console;
}

// The background process has no console: its start failures must reach the
// debugger channel, as its other lines do.
TEST_F(Output, PrintSystemErrorOfABackgroundProcessGoesToTheDebugger) {
    ServiceRunning = 1;
    CapturedDebugLines debug;
    CapturedStdout out;
    SetLastError(ERROR_FILE_NOT_FOUND);
    PrintSystemError("CreateMutex");
    std::string console = out.Finish();
    ServiceRunning = 0;
    EXPECT_EQ(console, "");
    ASSERT_EQ(debug.lines().size(), 1u);
    const std::string line = debug.lines()[0];
    EXPECT_NE(line.find(" - CreateMutex: "), std::string::npos) << line;
    EXPECT_EQ(line.substr(line.size() - 6), " (2)\n\n") << line;
}

TEST_F(Output, OverlongLinesAreCutAtTheBufferNotBeyond) {
    const std::string longText(3000, 'x');
    {
        CapturedStdout out;
        // The format is the program's own; the long part is an argument.
        PrintMessageId(4, nullptr, false, longText.c_str(), 1);
        std::string console = out.Finish();
        EXPECT_EQ(console, std::string(kTextSize - 1, 'x'));
    }
    {
        CapturedStdout out;
        PrintLastError(longText.c_str(), nullptr, false);
        EXPECT_EQ(out.Finish(), std::string(kTextSize - 1, 'x'));
    }
    {
        ServiceRunning = 1;
        CapturedDebugLines debug;
        PrintMessage(longText.c_str(), nullptr, false);
        ServiceRunning = 0;
        ASSERT_EQ(debug.lines().size(), 1u);
        EXPECT_EQ(debug.lines()[0].size(), kTextSize - 1);
    }
}

TEST_F(Output, AFinishedLineLongerThanTheBufferIsWrittenWhole) {
    // The usage text is such a line.
    const std::string longText = std::string(1200, 'u') + "\n";
    CapturedStdout out;
    PrintMessage(longText.c_str(), nullptr, false);
    EXPECT_EQ(out.Finish(), std::string(1200, 'u') + "\r\n");
}

TEST(Clock, ElapsedSurvivesTheWrapAround) {
    EXPECT_EQ(ElapsedMs(0xFFFFFFF0u, 0x10u), 0x20u);
    EXPECT_EQ(ElapsedMs(5, 5), 0u);
    EXPECT_EQ(ElapsedMs(100, 250), 150u);
}

TEST(Clock, CountsMilliseconds) {
    uint32_t start = ClockMs();
    Sleep(200);
    uint32_t elapsed = ElapsedMs(start, ClockMs());
    EXPECT_GE(elapsed, 190u);
    EXPECT_LT(elapsed, 5000u);
}

// The first reading of a process is its epoch. Only a fresh process can show
// it: the end-to-end tests start this test alone with PERCHMAN_DEDICATED_RUN set.
TEST(DedicatedRun, FirstClockReadingIsZero) {
    if (!std::getenv("PERCHMAN_DEDICATED_RUN")) GTEST_SKIP() << "needs a fresh process";
    EXPECT_EQ(ClockMs(), 0u);
}

// Started under a debugger by the end-to-end tests, which read the line from
// the debugger channel themselves.
TEST(DedicatedRun, ServiceLineGoesToTheDebugger) {
    if (!std::getenv("PERCHMAN_DEDICATED_RUN")) GTEST_SKIP() << "needs a debugger reading the line";
    ServiceRunning = 1;
    PrintMessage("Buscando el servidor\n", nullptr, true);
    ServiceRunning = 0;
}

}  // namespace
