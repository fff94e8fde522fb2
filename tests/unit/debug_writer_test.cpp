#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

#include "captured_debug_lines.h"
#include "engine/engine_loop.h"
#include "entry/run_modes.h"
#include "entry/service_frame.h"
#include "output/debug_writer.h"
#include "output/output.h"
#include "platform/stop_request.h"

// The debugger channel of the unattended modes, with a viewer that stops
// reading played by holding the writer in its OutputDebugStringA.
namespace {

using unit_test::CapturedDebugLines;

std::string Line(const char* text) { return std::string(text) + "\n"; }

std::string Lost(unsigned lost, unsigned inAll) {
    char text[kTextSize];
    std::snprintf(text, sizeof text, kLostLinesFormat, lost, inAll);
    return Line(text);
}

// The lines as written, without their clock.
std::vector<std::string> Texts(const std::vector<std::string>& lines) {
    std::vector<std::string> texts;
    for (const std::string& line : lines) {
        size_t dash = line.find(" - ");
        texts.push_back(dash == std::string::npos ? line : line.substr(dash + 3));
    }
    return texts;
}

bool WaitFor(const CapturedDebugLines& debug, size_t count) {
    for (int i = 0; i < 500 && debug.lines().size() < count; ++i) Sleep(10);
    return debug.lines().size() >= count;
}

class DebugWriter : public ::testing::Test {
protected:
    void TearDown() override {
        debug_.Release();
        EXPECT_TRUE(StopDebugWriter(5000));
    }
    CapturedDebugLines debug_;
};

// The writer is held on line 0; the ring then takes kDebugQueueLines lines
// and loses the rest. Once the viewer reads again, everything queued comes out
// in order, and the next line is preceded by the count of the lost ones; a
// second gap counts on.
TEST_F(DebugWriter, AFullQueueLosesLinesAndTheNextLineSaysHowMany) {
    ASSERT_TRUE(StartDebugWriter());
    debug_.Hold();
    DebugOutput("line 0");
    ASSERT_TRUE(WaitFor(debug_, 1));
    DWORD start = GetTickCount();
    const int kOffered = static_cast<int>(kDebugQueueLines) + 10;
    for (int i = 1; i <= kOffered; ++i) DebugOutput(("line " + std::to_string(i)).c_str());
    EXPECT_LT(GetTickCount() - start, 1000u) << "the callers waited on the viewer";

    std::vector<std::string> expected;
    for (int i = 0; i <= static_cast<int>(kDebugQueueLines); ++i)
        expected.push_back(Line(("line " + std::to_string(i)).c_str()));
    debug_.Release();
    ASSERT_TRUE(WaitFor(debug_, expected.size()));
    DebugOutput("after the gap");
    expected.push_back(Lost(10, 10));
    expected.push_back(Line("after the gap"));
    ASSERT_TRUE(WaitFor(debug_, expected.size()));
    EXPECT_EQ(Texts(debug_.lines()), expected);

    debug_.Hold();
    DebugOutput("held again");
    ASSERT_TRUE(WaitFor(debug_, expected.size() + 1));
    for (size_t i = 0; i < kDebugQueueLines + 3; ++i) DebugOutput("fills");
    debug_.Release();
    ASSERT_TRUE(WaitFor(debug_, expected.size() + 1 + kDebugQueueLines));
    DebugOutput("after the second gap");
    ASSERT_TRUE(WaitFor(debug_, expected.size() + 3 + kDebugQueueLines));
    std::vector<std::string> texts = Texts(debug_.lines());
    EXPECT_EQ(texts[texts.size() - 2], Lost(3, 13));
    EXPECT_EQ(texts.back(), Line("after the second gap"));
}

// A line carries the clock of when it was made, not of when the writer got
// it out.
TEST_F(DebugWriter, ALineKeepsTheClockOfWhenItWasMade) {
    ASSERT_TRUE(StartDebugWriter());
    debug_.Hold();
    DebugOutput("holds the writer");
    ASSERT_TRUE(WaitFor(debug_, 1));
    uint32_t made = ClockMs();
    DebugOutput("made now");
    Sleep(300);
    debug_.Release();
    ASSERT_TRUE(WaitFor(debug_, 2));
    std::string line = debug_.lines()[1];
    uint32_t stamped = static_cast<uint32_t>(std::stoul(line));
    EXPECT_GE(stamped, made);
    EXPECT_LT(stamped, made + 200) << line;
}

// A stop gives the writer its time and no more; a writer that got everything
// out hands the channel back: the next line goes out directly.
TEST_F(DebugWriter, AStopWaitsOnlyItsBoundForAWriterThatCannotFinish) {
    ASSERT_TRUE(StartDebugWriter());
    debug_.Hold();
    DebugOutput("never read");
    ASSERT_TRUE(WaitFor(debug_, 1));
    DWORD start = GetTickCount();
    EXPECT_FALSE(StopDebugWriter(200));
    EXPECT_LT(GetTickCount() - start, 1000u);
    debug_.Release();
    EXPECT_TRUE(StopDebugWriter(5000));
    EXPECT_FALSE(QueueDebugLine("1 - direct\n"));
}

// The control handler of the service (a stop, or the machine's shutdown)
// only queues its lines; the console's handler under "/debug", whose lines go
// out directly, stops the engine before it writes.
TEST_F(DebugWriter, NoControlHandlerWaitsOnTheChannelBeforeTheStop) {
    DebugMode = 1;  // no status reports: the handler alone is under test
    ASSERT_TRUE(StartDebugWriter());
    debug_.Hold();
    DebugOutput("holds the writer");
    ASSERT_TRUE(WaitFor(debug_, 1));
    for (DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN}) {
        ClearEngineStop();
        DWORD start = GetTickCount();
        ServiceControl(control);
        EXPECT_LT(GetTickCount() - start, 1000u) << control;
        EXPECT_TRUE(EngineStopRequested()) << control;
    }
    debug_.Release();
    ASSERT_TRUE(StopDebugWriter(5000));

    size_t written = debug_.lines().size();
    debug_.Hold();
    ClearEngineStop();
    HANDLE console = CreateThread(
        nullptr, 0, [](void*) WINAPI -> DWORD { return ConsoleControlHandler(CTRL_C_EVENT); },
        nullptr, 0, nullptr);
    ASSERT_TRUE(WaitFor(debug_, written + 1));
    EXPECT_TRUE(EngineStopRequested()) << "the stop waited for the line";
    debug_.Release();
    WaitForSingleObject(console, 5000);
    CloseHandle(console);
    ClearEngineStop();
    DebugMode = 0;
}

}  // namespace
