// labctl: the lab network from a shell.
//   labctl load FILE        reset the lab and load the network described in FILE
//   labctl add LINE...      add description lines to the loaded network, e.g.
//                           the hostile-server kit's (labnet.h): each argument
//                           is one line
//   labctl reset            remove every lab server, file area and the call log
//   labctl share FOLDER     keep the loaded servers' registries and files in
//                           FOLDER, shared with the prefixes copied from this
//                           one (a fleet of machines, see labnet.h)
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
//   labctl sites            print the network's sites as a site table of the
//                           planner (perchplan)
//   labctl monitor          print the debugger-channel lines of programs not
//                           started under a debugger, as they come, until Ctrl+C
//   labctl dead-viewer [mutex]
//                           play a debug-output viewer that stopped reading,
//                           until Ctrl+C (with mutex: it also holds DBWinMutex)
//   labctl now              print the servers as this machine reaches them now,
//                           as a site table of the planner
// Faults while programs run (until the next move, which restores the site's
// latencies and reachability):
//   labctl down SERVER | up SERVER      the server cannot be reached, or can again
//   labctl latency SERVER MS            the server answers this slowly from here
//   labctl refuse-writes SERVER [STATUS]
//                           remote writes and deletes on it fail (default 5;
//                           0 accepts them again)
//   labctl client join|leave NAME       a client machine registers under this
//                           one, or leaves
//   labctl product stop|start|slow MS|never|normal
//                           the product stand-in stops or starts, takes MS to
//                           take HPD.DAT in, never confirms it, or behaves again

#include <cstdio>
#include <cstdlib>
#include <string>

#include "debug_monitor.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
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

// What an administrator's viewer leaves behind when it crashed or hangs: the
// channel's objects, and nobody reading them.
int DeadViewer(bool holdMutex) {
    lab::DebugMonitor viewer;
    std::string error;
    if (!viewer.StartSilent(holdMutex, &error)) {
        std::fprintf(stderr, "labctl: %s\n", error.c_str());
        return 1;
    }
    SetConsoleCtrlHandler(OnInterrupt, TRUE);
    std::fprintf(stderr, "labctl: a debug-output viewer that never answers%s (Ctrl+C ends)\n",
                 holdMutex ? ", holding DBWinMutex" : "");
    while (!interrupted) Sleep(250);
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

bool ReadNumber(const char* text, unsigned long* number) {
    char* end = nullptr;
    *number = std::strtoul(text, &end, 0);
    if (*text && !*end) return true;
    std::fprintf(stderr, "labctl: \"%s\" is not a number\n", text);
    return false;
}

int ServerFault(bool done, const char* server, const std::string& what) {
    if (!done) {
        std::fprintf(stderr, "labctl: no lab server \"%s\"\n", server);
        return 1;
    }
    std::printf("labctl: %s %s\n", server, what.c_str());
    return 0;
}

int Product(int argc, char** argv) {
    std::string what = argc > 2 ? argv[2] : "";
    DWORD status = 0;
    if (what == "stop" && argc == 3) {
        status = kestrel::StopProduct();
    } else if (what == "start" && argc == 3) {
        status = kestrel::StartProduct();
    } else if (what == "slow" && argc == 4) {
        unsigned long ms = 0;
        if (!ReadNumber(argv[3], &ms)) return 2;
        kestrel::SetBehaviour(kestrel::kProcessingDelayValue, static_cast<DWORD>(ms));
    } else if (what == "never" && argc == 3) {
        kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 1);
    } else if (what == "normal" && argc == 3) {
        kestrel::SetBehaviour(kestrel::kProcessingDelayValue, 0);
        kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 0);
    } else {
        std::fputs("labctl: product stop|start|slow MS|never|normal\n", stderr);
        return 2;
    }
    if (status) {
        std::fprintf(stderr, "labctl: product %s: error %lu\n", what.c_str(),
                     static_cast<unsigned long>(status));
        return 1;
    }
    std::printf("labctl: product %s%s%s\n", what.c_str(), argc == 4 ? " " : "",
                argc == 4 ? argv[3] : "");
    return 0;
}

int Usage() {
    std::fputs(
        "usage: labctl load FILE | add LINE... | reset | show SERVER | register [DLLPATH]\n"
        "              | set SERVER NAME NUMBER | log | move SITE | site | sites\n"
        "              | monitor | dead-viewer [mutex] | now | down SERVER | up SERVER\n"
        "              | latency SERVER MS | refuse-writes SERVER [STATUS]\n"
        "              | client join|leave NAME | product stop|start|slow MS|never|normal\n"
        "  load FILE       reset the lab and load the network described in FILE\n"
        "  add LINE...     add description lines to the loaded network (one per\n"
        "                  argument), e.g. the hostile-server kit's: endless,\n"
        "                  overlong, illegal-names, answer-any, list-escaped, deep,\n"
        "                  wide, oversize, empty-more, slow\n"
        "  reset           remove every lab server, file area and the call log\n"
        "  share FOLDER    keep the servers in FOLDER, shared by a fleet's prefixes\n"
        "  show SERVER     show a server's behaviour, registry tree and files\n"
        "  register [DLL]  make the program use the stand-in product library\n"
        "  set SERVER NAME NUMBER\n"
        "                  change a server's behaviour value (LatencyMs, Down ...)\n"
        "  log             print the call log\n"
        "  move SITE       move this machine to a site of the network: its addresses\n"
        "                  and the servers' latencies from there (\"-\": no address)\n"
        "  site            print the site of the last move\n"
        "  sites           print the network's sites as a site table for perchplan\n"
        "  monitor         print the debugger-channel lines of programs not started\n"
        "                  under a debugger (services), as they come, until Ctrl+C\n"
        "  dead-viewer [mutex]\n"
        "                  play a viewer that stopped reading, until Ctrl+C: the\n"
        "                  channel's objects exist and nobody answers (with mutex\n"
        "                  it also holds DBWinMutex)\n"
        "  now             print the servers as this machine reaches them now\n"
        "  down SERVER, up SERVER\n"
        "                  the server cannot be reached from here, or can again\n"
        "  latency SERVER MS\n"
        "                  the server answers this slowly from here\n"
        "  refuse-writes SERVER [STATUS]\n"
        "                  remote writes and deletes on it fail (0 accepts them)\n"
        "  client join|leave NAME\n"
        "                  a client machine registers under this one, or leaves\n"
        "  product stop|start|slow MS|never|normal\n"
        "                  the product stand-in stops or starts, takes MS to take\n"
        "                  HPD.DAT in, never confirms it, or behaves again\n"
        "The faults but refused writes hold until the next move.\n",
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
    if (command == "add" && argc >= 3) {
        std::string lines;
        for (int i = 2; i < argc; ++i) lines += std::string(argv[i]) + "\n";
        std::string error;
        if (!lab::AddToNetwork(lines, &error)) {
            std::fprintf(stderr, "labctl: %s\n", error.c_str());
            return 1;
        }
        std::printf("labctl: added %d line%s\n", argc - 2, argc == 3 ? "" : "s");
        return 0;
    }
    if (command == "share" && argc == 3) {
        std::string error;
        if (!lab::ShareServers(argv[2], &error)) {
            std::fprintf(stderr, "labctl: share %s: %s\n", argv[2], error.c_str());
            return 1;
        }
        std::printf("labctl: the servers live in %s\n", argv[2]);
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
        unsigned long number = 0;
        if (!ReadNumber(argv[4], &number)) return 2;
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
    if (command == "sites" && argc == 2) {
        std::fputs(lab::PlannerSiteTable().c_str(), stdout);
        return 0;
    }
    if (command == "monitor" && argc == 2) return Monitor();
    if (command == "dead-viewer" && (argc == 2 || (argc == 3 && std::string(argv[2]) == "mutex")))
        return DeadViewer(argc == 3);
    if (command == "now" && argc == 2) {
        std::fputs(lab::SiteTableNow().c_str(), stdout);
        return 0;
    }
    if ((command == "down" || command == "up") && argc == 3)
        return ServerFault(lab::SetReachable(argv[2], command == "up"), argv[2],
                           command == "up" ? "can be reached" : "cannot be reached");
    if (command == "latency" && argc == 4) {
        unsigned long ms = 0;
        if (!ReadNumber(argv[3], &ms)) return 2;
        return ServerFault(lab::SetLatency(argv[2], static_cast<DWORD>(ms)), argv[2],
                           "answers in " + std::to_string(ms) + " ms");
    }
    if (command == "refuse-writes" && (argc == 3 || argc == 4)) {
        unsigned long status = ERROR_ACCESS_DENIED;
        if (argc == 4 && !ReadNumber(argv[3], &status)) return 2;
        return ServerFault(lab::RefuseWrites(argv[2], static_cast<DWORD>(status)), argv[2],
                           status ? "refuses writes with " + std::to_string(status)
                                  : "accepts writes");
    }
    if (command == "client" && argc == 4) {
        std::string how = argv[2];
        bool done = how == "join"    ? lab::ClientJoins(argv[3])
                    : how == "leave" ? lab::ClientLeaves(argv[3])
                                     : false;
        if (how != "join" && how != "leave") return Usage();
        if (!done) {
            std::fprintf(stderr, "labctl: client %s %s failed\n", argv[2], argv[3]);
            return 1;
        }
        std::printf("labctl: client %s %s\n", argv[3], how == "join" ? "joined" : "left");
        return 0;
    }
    if (command == "product") return Product(argc, argv);
    if (command == "log" && argc == 2) {
        std::fputs(lab::ReadCallLog().c_str(), stdout);
        return 0;
    }
    std::fprintf(stderr, "labctl: unknown command or wrong arguments: %s\n", command.c_str());
    return Usage();
}
