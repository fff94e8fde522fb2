// The real program, unattended, roaming a company network under faults for
// MINUTES, checked after every event against a model of what it must do.
// Events come from SEED: moves between sites, servers lost and found, slower
// and faster, the product stopping or slow to take its file in, refused
// writes, client machines coming and going, and stops at any moment, also in
// the middle of a search or a takeover. The model says when the program must
// search (its start, a move at its next look at the addresses, a parent that
// fails its check at the next check) and whom it must then choose for each
// roaming role, with the planner's functions; between reasons, nothing may
// change. The first violation ends the run with exit code 1.
// Usage: roaming_soak SEED MINUTES nt|9x [nowatch]
// nowatch: the program without its socket library, searching every minute.


#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bench_clock.h"
#include "harness/harness.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet.h"
#include "soak.h"
#include "soak_network.h"
#include <vector>

namespace soak {
namespace {

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}
double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

}  // namespace

bool Soak::Violation(const std::string& what, const std::string& expected,
                     const std::string& seen) {
    channel_.Poll();
    std::printf("\nroaming_soak: VIOLATION at %.1f s, seed %u, event #%d (%s): %s\n",
                SinceStartMs() / 1000, seed_, eventNumber_, event_.c_str(), what.c_str());
    std::printf("  the model expects: %s\n  seen: %s\n", expected.c_str(), seen.c_str());
    std::printf("  the debugger channel's last lines (seconds since the soak began, process id):\n%s",
                channel_.Recent(60, startMs_).c_str());
    std::fflush(stdout);
    return false;
}

bool Soak::Choose(const std::string& table, Choices* choices) {
    std::string error;
    if (model_.Choose(table, choices, &error)) return true;
    return Violation("the model cannot work the choice out", "a site table it reads", error);
}

bool Soak::StartProgram(const char* kind) {
    Choices expected;
    if (!Choose(lab::SiteTableNow(), &expected)) return false;
    std::string error;
    double at = NowMs();
    if (!program_.Start(&error)) return Violation("the program does not start", "running", error);
    processStartMs_ = at;
    baseHandles_ = -1;
    Reason reason{kind, {}, at, 0};
    for (const RoamingRole& role : kRoamingRoles) reason.roles.push_back(role.word);
    reason.boundMs = expected.SearchMs() * 1.5 + TakeoverAllowanceMs() + kSlackMs;
    return Converge(reason, expected);
}

bool Soak::SetUp() {
    std::string error;
    if (!model_.Load(ListTreeText(), &error)) return Violation("the model has no tree", "", error);
    if (!lab::RegisterProductLibrary(lab::DefaultProductLibraryPath()))
        return Violation("the lab cannot be set up", "the product library registered", "");
    e2e::ResetProductRoot();
    kestrel::InstallService(e2e::BuildPath("lab"));
    kestrel::RegisterControlObject(e2e::BuildPath("lab"));
    kestrel::StopService();
    kestrel::ResetBehaviour();
    if (!lab::LoadNetwork(NetworkDescription(), &error))
        return Violation("the lab cannot be set up", "the soak's network", error);
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA(kHome, nullptr);
    DeleteFileA(kHpdPath);
    e2e::SetBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "GUID", e2e::kTestGuid);
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", e2e::kParentMarker);
    if (!channel_.Start(&error)) return Violation("the debugger channel is taken", "", error);
    if (!program_.Install(&error)) return Violation("the program cannot be installed", "", error);
    if (kestrel::StartService()) return Violation("the product does not start", "running", "");
    if (!watching_)
        e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductControl,
                      "FindNearestParentIntervalInMinutes", 1);
    site_ = kSites.front();
    event_ = "start at " + site_;
    if (!lab::MoveToSite(site_, &error)) return Violation("the lab cannot move", site_, error);
    std::string table = lab::SiteTableNow();
    for (const std::string& server : kServers)
        latency_[server] = static_cast<uint32_t>(std::atoi(EntryOf(table, server).c_str()));
    for (const RoamingRole& role : kRoamingRoles) owners_[role.word] = "";
    return StartProgram("start");
}

void Soak::TearDown() {
    program_.Uninstall();
    kestrel::StopService();
    kestrel::ResetBehaviour();
    std::string error;
    lab::MoveToSite(lab::kNoSite, &error);
    lab::ResetNetwork();
    DeleteFileA(kHpdPath);
    RemoveDirectoryA(kHome);
    e2e::RemoveProductRoot();
}

void Soak::Report() const {
    std::printf("\nroaming_soak: seed %u, %.1f minutes, %s\n", seed_, SinceStartMs() / 60000,
                FamilyName(program_.family()));
    if (!watching_) std::printf("(without address watching)\n");
    std::printf("events played:");
    int total = 0;
    for (const auto& [kind, count] : played_) {
        std::printf(" %s %d", EventName(kind), count);
        total += count;
    }
    std::printf(" (%d in all)\n", total);
    for (const auto& [kind, seconds] : convergence_)
        std::printf("reason \"%s\": %zu, converged in median %.1f s, worst %.1f s\n", kind.c_str(),
                    seconds.size(), Median(seconds), Worst(seconds));
    if (!watching_)
        std::printf("searches on the period, without address watching: %d\n", periodicSearches_);
    std::printf("stops: %zu (%d during a search or takeover, %d shutdowns), from the request "
                "to the end: median %.0f ms, worst %.0f ms\n",
                stopMs_.size(), busyStops_, shutdowns_, Median(stopMs_), Worst(stopMs_));
    std::printf("the most a process grew after its first minute: %ld handles, %.2f MB private\n",
                handleGrowth_, privateGrowthMb_);
    for (const Figures& f : figures_)
        std::printf("at %4.1f min: process %lu (up %.1f min): %ld handles, %.2f MB private\n",
                    f.atMinute, f.processId, f.upMinutes, f.handles, f.privateMb);
}

int Soak::Run() {
    startMs_ = NowMs();
    std::printf("roaming_soak: seed %u, %.1f minutes, the %s %s%s\n", seed_, minutes_,
                FamilyName(program_.family()), e2e::PerchmanPath().c_str(),
                watching_ ? "" : ", without address watching");
    std::fflush(stdout);
    bool ok = SetUp() && PlayOpeningStops();
    while (ok && SinceStartMs() < minutes_ * 60000) {
        ok = Quiet(schedule_.Between(4000, 25000));
        if (!ok || SinceStartMs() >= minutes_ * 60000) break;
        EventKind kind = schedule_.NextKind();
        bool played = false;
        ++eventNumber_;
        event_ = EventName(kind);
        announced_ = false;
        ok = Play(kind, &played);
        if (played) {
            ++played_[kind];
            if (!announced_)
                std::printf("%8.1f s  #%d %s\n", SinceStartMs() / 1000, eventNumber_, event_.c_str());
        } else {
            --eventNumber_;
        }
        std::fflush(stdout);
    }
    if (ok) {
        ++eventNumber_;
        event_ = "final stop";
        ok = TakeFigures() && StopAndCheck(true);
    }
    Report();
    TearDown();
    std::printf("roaming_soak: %s\n", ok ? "no violation" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace soak

int main(int argc, char** argv) {
    std::string family = argc >= 4 ? argv[3] : "";
    bool watching = argc != 5 || std::string(argv[4]) != "nowatch";
    if (argc < 4 || argc > 5 || (argc == 5 && watching) || (family != "nt" && family != "9x") ||
        std::atof(argv[2]) <= 0) {
        std::fputs("usage: roaming_soak SEED MINUTES nt|9x [nowatch]\n", stderr);
        return 2;
    }
    soak::Soak soak(static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0)), std::atof(argv[2]),
                    family == "nt" ? soak::Family::NtService : soak::Family::Win9xBackground,
                    watching);
    return soak.Run();
}
