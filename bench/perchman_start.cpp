// What one end-to-end run costs: perchman.exe started, refused an unknown
// option and ended, through the test harness (debugger loop and pipes
// included). Usage: perchman_start.exe [runs]
#include <cstdio>
#include <cstdlib>

#include "harness/harness.h"

namespace {

void Measure(const char* label, const e2e::RunOptions& options, int runs) {
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    double total = 0, worst = 0;
    for (int i = 0; i < runs; ++i) {
        QueryPerformanceCounter(&start);
        e2e::RunResult result = e2e::RunPerchman({"/unknown"}, options);
        QueryPerformanceCounter(&end);
        if (!result.finished) std::printf("%s: run %d did not finish\n", label, i);
        double ms = 1000.0 * (end.QuadPart - start.QuadPart) / frequency.QuadPart;
        total += ms;
        if (ms > worst) worst = ms;
    }
    std::printf("%-28s %3d runs  mean %7.1f ms  worst %7.1f ms\n", label, runs, total / runs, worst);
}

}  // namespace

int main(int argc, char** argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 10;
    if (runs < 1) runs = 1;
    e2e::RunPerchman({"/unknown"});  // the first start pays for loading the DLLs from disk
    Measure("RunPerchman (XP)", {}, runs);
    e2e::RunOptions noWinInet;
    noWinInet.dllOverrides = "wininet=d";
    Measure("RunPerchman wininet=d", noWinInet, runs);
    e2e::RunOptions win98;
    win98.version = e2e::Windows::Win98;
    Measure("RunPerchman (Windows 98)", win98, runs);
    return 0;
}
