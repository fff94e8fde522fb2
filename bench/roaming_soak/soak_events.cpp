// The events of a soak: each changes the lab as a fault or a move would, and
// tells which reason to search, if any, it gives the program.

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

namespace soak {

bool Soak::PlayStop() {
    if (!StopAndCheck(true) || !StartProgram("start")) return false;
    // Half the stops also come at a random moment of the next start's search
    // and takeovers.
    if (schedule_.Between(0, 1) == 0) return true;
    // The start converged already: start once more and stop early.
    if (!StopAndCheck(true)) return false;
    std::string error;
    if (!program_.Start(&error)) return Violation("the program does not start", "running", error);
    processStartMs_ = NowMs();
    baseHandles_ = -1;
    Sleep(schedule_.Between(100, 4000));
    return StopAndCheck(false) && StartProgram("start");
}

// A short soak seldom draws a stop in the middle of a search or a takeover,
// or the end of the system's session: every soak opens with both, so that the
// test run's soaks play them in each family.
bool Soak::PlayOpeningStops() {
    ++eventNumber_;
    event_ = "stop during the first search";
    if (!StopAndCheck(true)) return false;
    std::string error;
    if (!program_.Start(&error)) return Violation("the program does not start", "running", error);
    processStartMs_ = NowMs();
    baseHandles_ = -1;
    double giveUp = NowMs() + 20000;
    do {
        Sleep(20);
        channel_.Poll();
    } while (!channel_.SearchingAt(NowMs()) && NowMs() < giveUp);
    // Into its probes, or on to a takeover's waits for the product.
    Sleep(schedule_.Between(50, 1500));
    if (!StopAndCheck(false) || !StartProgram("start")) return false;
    if (!program_.CanShutDown()) {
        std::printf("%8.1f s  (no shutdown: this service control manager cannot send one)\n",
                    SinceStartMs() / 1000);
        return true;
    }
    ++eventNumber_;
    event_ = "shutdown";
    return StopAndCheck(true, true) && StartProgram("start");
}

bool Soak::PlayMove() {
    std::vector<std::string> others;
    for (const std::string& site : kSites)
        if (site != site_) others.push_back(site);
    std::string site = schedule_.Pick(others);
    event_ = "move to " + site;
    double at = NowMs();
    std::string error;
    if (!lab::MoveToSite(site, &error)) return Violation("the lab cannot move", site, error);
    double moved = NowMs();
    site_ = site;
    down_.clear();
    std::string table = lab::SiteTableNow();
    for (const std::string& server : kServers)
        latency_[server] = static_cast<uint32_t>(std::atoi(EntryOf(table, server).c_str()));
    Choices expected;
    if (!Choose(table, &expected)) return false;
    // The NT service looks at the addresses once a minute; the Windows 9x
    // process at every pass of a second, between other work.
    double look = !watching_                             ? kPeriodicSearchMs + 1000
                  : program_.family() == Family::NtService ? 61000
                                                           : 3000;
    Reason reason{"move", {}, at, look + expected.SearchMs() * 1.5 + TakeoverAllowanceMs() + kSlackMs};
    for (const RoamingRole& role : kRoamingRoles) reason.roles.push_back(role.word);
    if (!Converge(reason, expected)) return false;
    // The devices take the new addresses one at a time: a search begun
    // while they did saw half a move, and the next look sees the rest, once.
    double first = channel_.FirstSearchStartAfter(at);
    repeated_.clear();
    repeatUntilMs_ = first && first < moved + kHalfMoveMarginMs ? NowMs() + reason.boundMs : 0;
    return true;
}

bool Soak::PlayDown(bool* played) {
    std::vector<std::string> up;
    for (const std::string& server : kServers)
        if (!down_.count(server)) up.push_back(server);
    // Half the outages hit the parent itself: the one that is a reason.
    std::string server = schedule_.Pick(up);
    if (schedule_.Between(0, 1) == 0 && !down_.count(owners_["Parent"])) server = owners_["Parent"];
    std::string table = WithServer(lab::SiteTableNow(), server, "down");
    Choices expected;
    if (!Choose(table, &expected)) return false;
    // A fault that would leave a choice to the probes' noise, or a role with
    // nothing to choose, is not played.
    if (!(*played = expected.Decisive())) return true;
    event_ = server + " down";
    double at = NowMs();
    lab::SetReachable(server, false);
    down_.insert(server);
    if (owners_["Parent"] != server) return true;
    // The parent itself: its next check fails, and the parent is searched.
    Reason reason{"parent check", {"Parent"}, at,
                  kParentCheckMs + 2000 + expected.SearchMs() * 1.5 + TakeoverAllowanceMs() + kSlackMs};
    return Converge(reason, expected);
}

bool Soak::PlayUp(bool* played) {
    if (down_.empty()) return *played = false, true;
    std::string server = schedule_.Pick(std::vector<std::string>(down_.begin(), down_.end()));
    Choices expected;
    if (!Choose(WithServer(lab::SiteTableNow(), server, std::to_string(latency_[server])), &expected))
        return false;
    if (!(*played = expected.Decisive())) return true;
    event_ = server + " up";
    lab::SetReachable(server, true);
    down_.erase(server);
    return true;
}

bool Soak::PlayLatency(bool slower, bool* played) {
    std::string server = schedule_.Pick(kServers);
    uint32_t step = schedule_.Between(8, 60);
    uint32_t now = latency_[server];
    uint32_t ms = slower ? std::min(now + step, 190u) : (now > step + 3 ? now - step : 3);
    std::string entry = down_.count(server) ? "down" : std::to_string(ms);
    Choices expected;
    if (!Choose(WithServer(lab::SiteTableNow(), server, entry), &expected)) return false;
    if (!(*played = ms != now && expected.Decisive())) return true;
    event_ = server + (slower ? " slower: " : " faster: ") + std::to_string(ms) + " ms";
    lab::SetLatency(server, ms);
    latency_[server] = ms;
    return true;
}

void Soak::PlayProduct(EventKind kind) {
    switch (kind) {
    case EventKind::ProductStop:
        event_ = "product stops";
        kestrel::StopProduct();
        break;
    case EventKind::ProductSlow:
        productSlowMs_ = schedule_.Between(2000, 20000);
        event_ = "product slow: " + std::to_string(productSlowMs_) + " ms";
        kestrel::SetBehaviour(kestrel::kProcessingDelayValue, productSlowMs_);
        break;
    case EventKind::ProductNever:
        event_ = "product never confirms";
        productNever_ = true;
        kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 1);
        break;
    default:
        event_ = "product normal";
        productNever_ = false;
        productSlowMs_ = 0;
        kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 0);
        kestrel::SetBehaviour(kestrel::kProcessingDelayValue, 0);
        break;
    }
}

bool Soak::PlayWrites(bool refuse, bool* played) {
    std::vector<std::string> candidates;
    for (const std::string& server : kServers)
        if (refusing_.count(server) != refuse) candidates.push_back(server);
    if (!(*played = !candidates.empty())) return true;
    std::string server = schedule_.Pick(candidates);
    event_ = server + (refuse ? " refuses writes" : " accepts writes");
    lab::RefuseWrites(server, refuse ? kDownStatus : 0);
    if (refuse)
        refusing_.insert(server);
    else
        refusing_.erase(server);
    return true;
}

bool Soak::PlayClient(bool joins, bool* played) {
    if (!joins && clients_.empty()) return *played = false, true;
    *played = true;
    std::string name;
    if (joins) {
        char text[32];
        std::snprintf(text, sizeof text, "DESK-%03d", nextClient_++);
        name = text;
        lab::ClientJoins(name);
        clients_.insert(name);
    } else {
        name = schedule_.Pick(std::vector<std::string>(clients_.begin(), clients_.end()));
        lab::ClientLeaves(name);
        clients_.erase(name);
    }
    event_ = "client " + name + (joins ? " joins" : " leaves");
    clientsChangedMs_ = NowMs();
    return true;
}

bool Soak::Play(EventKind kind, bool* played) {
    *played = true;
    switch (kind) {
    case EventKind::Move: return PlayMove();
    case EventKind::Down: return PlayDown(played);
    case EventKind::Up: return PlayUp(played);
    case EventKind::Slower: return PlayLatency(true, played);
    case EventKind::Faster: return PlayLatency(false, played);
    case EventKind::RefuseWrites: return PlayWrites(true, played);
    case EventKind::AcceptWrites: return PlayWrites(false, played);
    case EventKind::ClientJoins: return PlayClient(true, played);
    case EventKind::ClientLeaves: return PlayClient(false, played);
    case EventKind::Stop: event_ = "stop"; return PlayStop();
    default: PlayProduct(kind); return true;
    }
}

}  // namespace soak
