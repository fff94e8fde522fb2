// The unattended engine repeats its searches for months in one process: this
// runs NearestAll(1) (a search and a parent takeover) 100 times against the
// lab in this process, with the program's own start-up, and prints the
// process's handle count and private bytes at the 10th and the 100th round,
// which must be equal. Usage: nearest_soak [rounds=100]

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "engine/nearest.h"
#include "entry/startup.h"
#include "platform/system_functions.h"
#include "harness/harness.h"
#include "labnet/labnet.h"
#include "process_figures.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace {

constexpr char kHome[] = "C:\\PerchmanLab\\NearestSoak";
constexpr char kMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";

// The machine has given its parent up: each round reconnects to it.
void GiveParentUp() {
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", kMarker);
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "LastParent", "P");
}

bool Prepare() {
    std::string error;
    if (!lab::RegisterProductLibrary(lab::DefaultProductLibraryPath())) return false;
    e2e::ResetProductRoot();
    if (!lab::LoadNetwork("server P latency=2 pattern=1\n"
                          "server Q latency=9 pattern=1\n"
                          "list <local> Parent 0 P,Q\n",
                          &error)) {
        std::printf("lab: %s\n", error.c_str());
        return false;
    }
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA(kHome, nullptr);
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Home Directory", kHome);
    GiveParentUp();
    int status = 0;
    if (!LoadSystemFunctions(FrameFunctions)) return false;
    LoadProductLibrary();
    OpenProductKeys();
    return InitEngine(0, 0, &status) != 0;
}

void Report(int round) {
    figures::Memory memory = figures::MemoryOf(GetCurrentProcess());
    std::printf("round %3d: handles %ld, private %.2f MB, working set %.2f MB\n", round,
                figures::CountHandles(GetCurrentProcessId()), memory.privateMB,
                memory.workingSetMB);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 100;
    if (!Prepare()) {
        std::printf("nearest_soak: cannot set the lab and the engine up\n");
        return 1;
    }
    HANDLE session = nullptr;
    if (OpenProductSession(&session)) {
        std::printf("nearest_soak: no product session\n");
        return 1;
    }
    // The searches print their lines; only the figures are wanted here.
    std::fflush(stdout);
    int console = _dup(1);
    int nothing = _open("NUL", _O_WRONLY);
    double start = figures::NowMs();
    for (int round = 1; round <= rounds; ++round) {
        GiveParentUp();
        _dup2(nothing, 1);
        NearestAll(1);
        std::fflush(stdout);
        _dup2(console, 1);
        if (round == 10 || round % 100 == 0 || round == rounds) Report(round);
    }
    std::printf("%d rounds of NearestAll(1): %.1f ms each\n", rounds,
                (figures::NowMs() - start) / rounds);
    CloseProductSession(&session);
    int status = 0;
    FreeSystemFunctions(FrameFunctions);
    DeInitEngine(&status);
    CloseProductKeys();
    lab::ResetNetwork();
    e2e::RemoveProductRoot();
    return 0;
}
