// The lab's debug-output monitor receives the lines of a program that runs
// without a debugger, as an administrator's viewer would.

#include <gtest/gtest.h>

#include "common/handles.h"
#include "debug_monitor.h"
#include "harness/harness.h"

namespace {

// unit_tests.exe alone, with no debugger, writing one service line.
DWORD StartServiceLineWriter(KernelHandle* process) {
    std::string commandLine = e2e::BuildCommandLine(
        e2e::BuildPath("tests\\unit_tests.exe"),
        {"--gtest_filter=DedicatedRun.ServiceLineGoesToTheDebugger"});
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    FileHandle nothing(CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, 0, &inheritable,
                                   OPEN_EXISTING, 0, nullptr));
    SetEnvironmentVariableA("PERCHMAN_DEDICATED_RUN", "monitor");
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;  // its test report goes nowhere
    startup.hStdInput = startup.hStdOutput = startup.hStdError = nothing.get();
    PROCESS_INFORMATION started = {};
    BOOL created = CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0,
                                  nullptr, nullptr, &startup, &started);
    SetEnvironmentVariableA("PERCHMAN_DEDICATED_RUN", nullptr);
    if (!created) return 0;
    ProcessOwner owner(started);
    *process = std::move(owner.process);
    return started.dwProcessId;
}

TEST(LabDebugMonitor, CollectsTheLinesOfAProcessWithoutADebugger) {
    lab::DebugMonitor monitor;
    std::string error;
    ASSERT_TRUE(monitor.Start(&error)) << error;
    lab::DebugMonitor second;
    EXPECT_FALSE(second.Start(&error));

    KernelHandle child;
    DWORD childId = StartServiceLineWriter(&child);
    ASSERT_NE(childId, 0u);
    std::optional<lab::DebugLine> line = monitor.WaitFor(
        [](const lab::DebugLine& l) { return l.text.find("Buscando") != std::string::npos; },
        60000);
    ASSERT_TRUE(line) << "no line arrived";
    EXPECT_EQ(line->processId, childId);
    EXPECT_EQ(e2e::WithoutClock(line->text), "Buscando el servidor\n\n");
    EXPECT_EQ(WaitForSingleObject(child.get(), 60000), WAIT_OBJECT_0);
}

}  // namespace
