#pragma once
// The sibling agents' stand-in tools (lab/agents: wdtokgen.exe, wdagtcfg.exe,
// enrol.exe). A network publishes them in a server's file area with "copy"
// lines, e.g.
//   copy S1 $\WDR\wdtokgen.exe %BUILD%\lab\wdtokgen.exe
// Each run of a tool appends "<tool>|<working directory>|<command line>" to
// the agents' log and ends with the exit code chosen here (default: 0 when
// its input file is there, 100 when it is missing).

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lab {

constexpr char kAgentsLogPath[] = "C:\\PerchmanLab\\agents.log";
constexpr char kAgentsKey[] = "SOFTWARE\\PerchmanLab\\Agents";
constexpr DWORD kAgentMissingInput = 100;

struct AgentRun {
    std::string tool;  // lower-case file name, e.g. "enrol.exe"
    std::string directory;
    std::string commandLine;
};

// The runs recorded since the last reset, in order.
std::vector<AgentRun> AgentRuns();
// The exit code every later run of the tool ends with.
bool SetAgentExitCode(std::string_view tool, DWORD code);
// Whether the last run of the tool had a console window (nullopt: no run).
std::optional<bool> AgentHadConsoleWindow(std::string_view tool);
// Forgets the chosen exit codes and the recorded runs.
void ResetAgents();

// The built stand-in tool of this build (e.g. "wdtokgen.exe").
std::string AgentToolPath(std::string_view tool);

}  // namespace lab
