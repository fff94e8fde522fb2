// Test access to the sibling agents' stand-in tools.

#include "agents.h"

#include <shlwapi.h>

#include <cstdio>

namespace lab {

std::vector<AgentRun> AgentRuns() {
    std::vector<AgentRun> runs;
    FILE* file = std::fopen(kAgentsLogPath, "rb");
    if (!file) return runs;
    char line[4096];
    while (std::fgets(line, sizeof line, file)) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        size_t first = text.find('|');
        size_t second = first == std::string::npos ? first : text.find('|', first + 1);
        if (second == std::string::npos) continue;
        runs.push_back({text.substr(0, first), text.substr(first + 1, second - first - 1),
                        text.substr(second + 1)});
    }
    std::fclose(file);
    return runs;
}

bool SetAgentExitCode(std::string_view tool, DWORD code) {
    std::string path = std::string(kAgentsKey) + "\\" + std::string(tool);
    HKEY key = nullptr;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr,
                        &key, nullptr) != ERROR_SUCCESS)
        return false;
    bool ok = RegSetValueExA(key, "ExitCode", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&code),
                             sizeof code) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

std::optional<bool> AgentHadConsoleWindow(std::string_view tool) {
    std::string path = std::string(kAgentsKey) + "\\" + std::string(tool);
    DWORD window = 0;
    DWORD size = sizeof window;
    if (RegGetValueA(HKEY_LOCAL_MACHINE, path.c_str(), "ConsoleWindow", RRF_RT_REG_DWORD, nullptr,
                     &window, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return window != 0;
}

void ResetAgents() {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kAgentsKey);
    DeleteFileA(kAgentsLogPath);
}

std::string AgentToolPath(std::string_view tool) {
#ifdef PERCHMAN_BUILD_DIR
    return std::string(PERCHMAN_BUILD_DIR) + "\\lab\\" + std::string(tool);
#else
    return std::string(tool);
#endif
}

}  // namespace lab
