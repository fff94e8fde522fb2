// How much a search costs beyond the network's own latency: a three-level
// lab network of 21 servers, searched for the alerts role. The search time the
// program reports is compared with the sum of the configured latencies of
// every probe it makes (the warm-up probe and TimesToAverage samples of every
// server of each level walked).
//
//   tools/wine.sh build/x86_64/bench/search_bench.exe [runs [show]]

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "labnet/labnet.h"

namespace {

constexpr int kTimesToAverage = 3;

struct Server {
    std::string name;
    int latencyMs;
};

// Each level's winner is its fastest server, and publishes the next level.
const std::vector<std::vector<Server>> kLevels = {
    {{"R1", 45}, {"R2", 60}, {"R3", 25}, {"R4", 80}, {"R5", 55}, {"R6", 70}},
    {{"M1", 35}, {"M2", 50}, {"M3", 65}, {"M4", 20}, {"M5", 40}, {"M6", 75}, {"M7", 55}},
    {{"L1", 30}, {"L2", 45}, {"L3", 60}, {"L4", 25}, {"L5", 50}, {"L6", 15}, {"L7", 35},
     {"L8", 70}},
};

std::string JoinNames(const std::vector<Server>& level) {
    std::string list;
    for (const Server& server : level) list += (list.empty() ? "" : ",") + server.name;
    return list;
}

const Server& Fastest(const std::vector<Server>& level) {
    return *std::min_element(level.begin(), level.end(),
                             [](const Server& a, const Server& b) { return a.latencyMs < b.latencyMs; });
}

std::string Description(bool record) {
    std::string text = "dword <local> ProductControl TimesToAverage " +
                       std::to_string(kTimesToAverage) + "\n";
    for (const auto& level : kLevels)
        for (const Server& server : level)
            text += "server " + server.name + " latency=" + std::to_string(server.latencyMs) + "\n";
    text += "list <local> Alerts 0 " + JoinNames(kLevels[0]) + "\n";
    // Every server publishes its list for the level below, empty but for the
    // winner of each level (a server without the value would not answer).
    for (size_t i = 0; i < kLevels.size(); ++i) {
        const std::string level = std::to_string(i + 1);
        for (const Server& server : kLevels[i]) {
            bool leads = i + 1 < kLevels.size() && &server == &Fastest(kLevels[i]);
            text += "list " + server.name + " Alerts " + level + " " +
                    (leads ? JoinNames(kLevels[i + 1]) : std::string("\"\"")) + "\n";
        }
    }
    if (record) text += "lab record\n";
    return text;
}

int ExpectedProbes() {
    int probes = 1;  // the warm-up of the first level
    for (const auto& level : kLevels) probes += kTimesToAverage * static_cast<int>(level.size());
    return probes;
}

int ExpectedLatencySumMs() {
    int sum = kLevels[0][0].latencyMs;  // the warm-up probe
    for (const auto& level : kLevels)
        for (const Server& server : level) sum += kTimesToAverage * server.latencyMs;
    return sum;
}

// The search time of message 95, or -1.
int ReportedSearchMs(const std::string& out) {
    std::smatch match;
    static const std::regex kFound("\"([^\"]*)\"\\. Se tard[^0-9]* ([0-9]+) ms");
    if (!std::regex_search(out, match, kFound)) return -1;
    return std::atoi(match[2].str().c_str());
}

// The sum of the probe times the program reports itself (messages 87, 88).
int ReportedProbeSumMs(const std::string& out) {
    static const std::regex kProbe("servidor [^ ]+ nivel [0-9]+ lapso ([0-9]+) ms resultado");
    int sum = 0;
    for (std::sregex_iterator it(out.begin(), out.end(), kProbe), end; it != end; ++it)
        sum += std::atoi((*it)[1].str().c_str());
    return sum;
}

// The program as a plain child with its output in a file: the harness runs
// it under a debugger, which under Wine slows the program's own work.
std::string RunDirect(const std::string& option) {
    char folder[MAX_PATH], path[MAX_PATH];
    GetTempPathA(sizeof folder, folder);
    GetTempFileNameA(folder, "sb", 0, path);
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = file;
    startup.hStdError = file;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    std::string commandLine = e2e::BuildCommandLine(e2e::PerchmanPath(), {option});
    PROCESS_INFORMATION child = {};
    if (CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &child)) {
        WaitForSingleObject(child.hProcess, INFINITE);
        CloseHandle(child.hThread);
        CloseHandle(child.hProcess);
    }
    CloseHandle(file);
    std::string out = lab::ReadLocalFile(path).value_or("");
    DeleteFileA(path);
    return out;
}

bool Load(bool record) {
    std::string error;
    if (lab::LoadNetwork(Description(record), &error)) return true;
    std::fprintf(stderr, "lab network: %s\n", error.c_str());
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 5;
    bool show = argc > 2 && std::string(argv[2]) == "show";
    if (runs < 1) runs = 1;
    int servers = 0;
    for (const auto& level : kLevels) servers += static_cast<int>(level.size());
    const int latencySum = ExpectedLatencySumMs();

    lab::RegisterProductLibrary(lab::DefaultProductLibraryPath());
    e2e::ResetProductRoot();
    // One recorded run checks that the program probes what the sum assumes.
    if (!Load(true)) return 1;
    e2e::RunResult checked = e2e::RunPerchman({"/nearest_alerts"});
    int probes = 0;
    for (const std::string& line : lab::CallLogLines())
        if (line.rfind("ReadServerValues ", 0) == 0) ++probes;
    std::printf("network: %d servers on 3 levels, TimesToAverage %d\n", servers, kTimesToAverage);
    std::printf("probes: %d made, %d expected; sum of their latencies %d ms\n", probes,
                ExpectedProbes(), latencySum);
    if (ReportedSearchMs(checked.out) < 0) {
        std::printf("the search reported no server:\n%s\n", checked.out.c_str());
        e2e::RemoveProductRoot();
        return 1;
    }

    if (!Load(false)) return 1;
    std::vector<int> searchMs;
    for (int run = 0; run < runs; ++run) {
        std::string out = RunDirect("/nearest_alerts");
        if (show) std::fwrite(out.data(), 1, out.size(), stdout);
        int ms = ReportedSearchMs(out);
        int inProbes = ReportedProbeSumMs(out);
        searchMs.push_back(ms);
        // The warm-up probe is not reported; its configured latency stands in.
        int outside = ms - inProbes - kLevels[0][0].latencyMs;
        std::printf("run %d: search %d ms, %+.2f%% against the latencies; probes as the "
                    "program timed them %d ms (+%d ms warm-up), the rest %d ms\n",
                    run + 1, ms, 100.0 * (ms - latencySum) / latencySum, inProbes,
                    kLevels[0][0].latencyMs, outside);
    }
    std::sort(searchMs.begin(), searchMs.end());
    int median = searchMs[searchMs.size() / 2];
    std::printf("search time: min %d ms, median %d ms, max %d ms\n", searchMs.front(), median,
                searchMs.back());
    std::printf("overhead (median): %d ms = %.2f%% above the latencies, %.3f ms per probe\n",
                median - latencySum, 100.0 * (median - latencySum) / latencySum,
                static_cast<double>(median - latencySum) / ExpectedProbes());
    e2e::RemoveProductRoot();
    lab::ResetNetwork();
    return 0;
}
