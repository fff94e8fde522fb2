// labctl: the lab network from a shell.
//   labctl load FILE        reset the lab and load the network described in FILE
//   labctl reset            remove every lab server, file area and the call log
//   labctl show SERVER      show a server's behaviour, registry and files
//   labctl register [DLL]   register the stand-in product library (default:
//                           the one of this build)
//   labctl set SERVER NAME NUMBER
//                           change a behaviour value of a server (LatencyMs,
//                           Down, TimeoutMs ...) while programs use the lab
//   labctl log              print the call log
//   labctl move SITE        move this machine to a site of the network ("-":
//                           no address but loopback)
//   labctl site             print the site of the last move
//   labctl monitor          print the debugger-channel lines of programs not
//                           started under a debugger, as they come, until Ctrl+C

#include <cstdio>
#include <cstdlib>
#include <string>

#include "debug_monitor.h"
#include "labnet.h"

namespace {

volatile LONG interrupted = 0;

BOOL WINAPI OnInterrupt(DWORD) {
    InterlockedExchange(&interrupted, 1);
    return TRUE;
}

int Monitor() {
    lab::DebugMonitor monitor;
    std::string error;
    if (!monitor.Start(&error)) {
        std::fprintf(stderr, "labctl: %s\n", error.c_str());
        return 1;
    }
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
    std::fputs("labctl: listening to the debugger channel (Ctrl+C ends)\n", stderr);
    while (!interrupted) {
        monitor.WaitFor([](const lab::DebugLine&) { return true; }, 250);
        for (const lab::DebugLine& line : monitor.TakeLines()) {
            std::printf("%lu: ", static_cast<unsigned long>(line.processId));
            std::fwrite(line.text.data(), 1, line.text.size(), stdout);
            if (line.text.empty() || line.text.back() != '\n') std::fputc('\n', stdout);
            std::fflush(stdout);
        }
    }
    return 0;
}

int Move(const char* site) {
    std::string error;
    if (!lab::MoveToSite(site, &error)) {
        std::fprintf(stderr, "labctl: cannot move to %s: %s\n", site, error.c_str());
        return 1;
    }
    std::string addresses;
    for (const std::string& address : lab::SiteAddresses(site)) addresses += " " + address;
    std::printf("labctl: this machine is at %s:%s\n", site,
                addresses.empty() ? " no address" : addresses.c_str());
    return 0;
}

int Usage() {
    std::fputs(
        "usage: labctl load FILE | reset | show SERVER | register [DLLPATH]\n"
        "              | set SERVER NAME NUMBER | log | move SITE | site | monitor\n"
        "  load FILE       reset the lab and load the network described in FILE\n"
        "  reset           remove every lab server, file area and the call log\n"
        "  show SERVER     show a server's behaviour, registry tree and files\n"
        "  register [DLL]  make the program use the stand-in product library\n"
        "  set SERVER NAME NUMBER\n"
        "                  change a server's behaviour value (LatencyMs, Down ...)\n"
        "  log             print the call log\n"
        "  move SITE       move this machine to a site of the network: its addresses\n"
        "                  and the servers' latencies from there (\"-\": no address)\n"
        "  site            print the site of the last move\n"
        "  monitor         print the debugger-channel lines of programs not started\n"
        "                  under a debugger (services), as they come, until Ctrl+C\n",
        stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage();
    std::string command = argv[1];
    if (command == "load" && argc == 3) {
        std::string error;
        if (!lab::LoadNetworkFile(argv[2], &error)) {
            std::fprintf(stderr, "labctl: %s: %s\n", argv[2], error.c_str());
            return 1;
        }
        std::printf("labctl: loaded %s\n", argv[2]);
        return 0;
    }
    if (command == "reset" && argc == 2) {
        lab::ResetNetwork();
        std::puts("labctl: the lab is empty");
        return 0;
    }
    if (command == "show" && argc == 3) {
        if (!lab::ServerExists(argv[2])) {
            std::fprintf(stderr, "labctl: no lab server \"%s\"\n", argv[2]);
            return 1;
        }
        std::fputs(lab::ShowServer(argv[2]).c_str(), stdout);
        return 0;
    }
    if (command == "register" && argc <= 3) {
        std::string path = argc == 3 ? argv[2] : lab::DefaultProductLibraryPath();
        if (!lab::RegisterProductLibrary(path)) {
            std::fprintf(stderr, "labctl: cannot register %s\n", path.c_str());
            return 1;
        }
        std::printf("labctl: registered %s\n", path.c_str());
        return 0;
    }
    if (command == "set" && argc == 5) {
        char* end = nullptr;
        unsigned long number = std::strtoul(argv[4], &end, 0);
        if (!*argv[4] || *end) {
            std::fprintf(stderr, "labctl: \"%s\" is not a number\n", argv[4]);
            return 2;
        }
        if (!lab::SetBehaviour(argv[2], argv[3], static_cast<DWORD>(number))) {
            std::fprintf(stderr, "labctl: no lab server \"%s\"\n", argv[2]);
            return 1;
        }
        std::printf("labctl: %s %s = %lu\n", argv[2], argv[3], number);
        return 0;
    }
    if (command == "move" && argc == 3) return Move(argv[2]);
    if (command == "site" && argc == 2) {
        std::string site = lab::CurrentSite();
        std::puts(site.empty() ? "labctl: no move since the network was loaded" : site.c_str());
        return 0;
    }
    if (command == "monitor" && argc == 2) return Monitor();
    if (command == "log" && argc == 2) {
        std::fputs(lab::ReadCallLog().c_str(), stdout);
        return 0;
    }
    std::fprintf(stderr, "labctl: unknown command or wrong arguments: %s\n", command.c_str());
    return Usage();
}
