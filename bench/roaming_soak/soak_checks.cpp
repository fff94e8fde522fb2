// What the program must show: convergence after a reason, nothing changed
// between reasons, a whole HPD.DAT, a stop honoured with its release.

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "bench_clock.h"
#include "harness/harness.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet.h"
#include "process_figures.h"
#include "soak.h"
#include "soak_network.h"

namespace soak {

std::string OwnersText(const std::map<std::string, std::string>& owners) {
    std::string text;
    for (const auto& [role, owner] : owners)
        text += role + " " + (owner.empty() ? "(none)" : owner) + "  ";
    return text;
}

std::map<std::string, std::string> OwnersNow() {
    std::map<std::string, std::string> owners;
    for (const RoamingRole& role : kRoamingRoles) owners[role.word] = ReadOwner(role.word);
    return owners;
}

double Soak::TakeoverAllowanceMs() const {
    // A product that never confirms costs the whole confirmation wait; a slow
    // one its delay in the first wait.
    return (productNever_ ? kProductWaitMs : 0) + productSlowMs_ + 5000;
}

// Until every role of the reason has ended a search begun after it, with the
// model's choice as the owner; then the owners are what the quiet checks hold.
bool Soak::Converge(const Reason& reason, const Choices& expected) {
    std::map<std::string, std::string> want = owners_;
    for (const std::string& role : reason.roles) want[role] = expected.byRole.at(role).server;
    std::string expectation = reason.kind + " is a reason to search " + std::to_string(reason.roles.size()) +
                              " role(s) within " + std::to_string(static_cast<int>(reason.boundMs / 1000)) +
                              " s: " + OwnersText(want) + "  [" + expected.Describe() + "]";
    double deadline = reason.atMs + reason.boundMs;
    double convergedAt = 0;
    for (;;) {
        channel_.Poll();
        std::map<std::string, double> ended;
        for (const SearchEnd& end : channel_.Ends()) {
            if (end.atMs < reason.atMs) continue;
            bool ofTheReason = std::find(reason.roles.begin(), reason.roles.end(), end.role) !=
                               reason.roles.end();
            // Without address watching every role is searched on the period.
            if (!ofTheReason && !watching_ && end.found == expected.byRole.at(end.role).server) {
                want[end.role] = end.found;
                continue;
            }
            if (!ofTheReason)
                return Violation("a role without a reason was searched", expectation,
                                 end.role + " searched, found \"" + end.found + "\"");
            if (end.found != want[end.role])
                return Violation("the search chose another server than the model", expectation,
                                 end.role + " chose \"" + end.found + "\"");
            ended[end.role] = end.atMs;
        }
        std::map<std::string, std::string> seen = OwnersNow();
        if (ended.size() == reason.roles.size() && seen == want) {
            for (const auto& [role, at] : ended) convergedAt = std::max(convergedAt, at);
            break;
        }
        if (!program_.Alive())
            return Violation("the program ended by itself", expectation, OwnersText(seen));
        if (NowMs() > deadline) {
            std::string searched;
            for (const auto& [role, at] : ended) searched += role + " ";
            return Violation("no convergence within the bound", expectation,
                             OwnersText(seen) + " searched: " + (searched.empty() ? "none" : searched));
        }
        Sleep(200);
    }
    owners_ = want;
    endsSeen_ = channel_.Ends().size();
    convergence_[reason.kind].push_back((convergedAt - reason.atMs) / 1000);
    announced_ = true;
    std::printf("%8.1f s  #%d %s: %s converged in %.1f s: %s\n", SinceStartMs() / 1000,
                eventNumber_, event_.c_str(), reason.kind.c_str(),
                (convergedAt - reason.atMs) / 1000, OwnersText(owners_).c_str());
    std::fflush(stdout);
    return true;
}

bool Soak::HpdWhole(std::string* seen) const {
    HANDLE file = CreateFileA(kHpdPath, GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) return true;  // absent
    std::string text(4096, '\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr);
    CloseHandle(file);
    text.resize(read);
    *seen = e2e::Escape(text);
    // Every line ends in one CR LF, and there are as many as the file's kind
    // has: a reconnection's four, a switch's eight naming the parent.
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\r\n", at);
        if (end == std::string::npos) return false;
        lines.push_back(text.substr(at, end - at));
        at = end + 2;
    }
    for (const std::string& line : lines)
        if (line.find_first_of("\r\n") != std::string::npos) return false;
    if (lines.empty() || lines[0] != "[KEYS]") return false;
    if (lines.size() == 4) return lines[2] == "Connected=D1";
    return lines.size() == 8 && lines[4] == "Parent=S" + owners_.at("Parent");
}

bool Soak::TakeFigures() {
    DWORD id = program_.ProcessId();
    Figures now{SinceStartMs() / 60000, id, (NowMs() - processStartMs_) / 60000,
                figures::CountHandles(id), figures::MemoryOf(program_.Process()).privateMB};
    if (now.atMinute >= nextFiguresMinute_) {
        figures_.push_back(now);
        nextFiguresMinute_ += 10;
    }
    // After a minute of warm-up, the process's own figures stay where they were.
    if (now.upMinutes < 1) return true;
    if (baseHandles_ < 0) {
        baseHandles_ = now.handles;
        basePrivateMb_ = now.privateMb;
    }
    handleGrowth_ = std::max(handleGrowth_, now.handles - baseHandles_);
    privateGrowthMb_ = std::max(privateGrowthMb_, now.privateMb - basePrivateMb_);
    if (now.handles <= baseHandles_ + static_cast<long>(kHandleGrowthLimit) &&
        now.privateMb <= basePrivateMb_ + kPrivateGrowthLimitMb)
        return true;
    return Violation("the process grows",
                     "handles and private bytes flat after warm-up: " + std::to_string(baseHandles_) +
                         " handles, " + std::to_string(basePrivateMb_) + " MB",
                     std::to_string(now.handles) + " handles, " + std::to_string(now.privateMb) + " MB");
}

bool Soak::Sample() {
    channel_.Poll();
    if (!program_.Alive())
        return Violation("the program ended by itself", "running", "not running");
    const std::vector<SearchEnd>& ends = channel_.Ends();
    Choices now;
    if (!watching_ && endsSeen_ < ends.size() && !Choose(lab::SiteTableNow(), &now)) return false;
    for (; endsSeen_ < ends.size(); ++endsSeen_) {
        const SearchEnd& end = ends[endsSeen_];
        // Without address watching the period is a reason of its own: the
        // choice of the moment, whatever changed since the last search.
        if (!watching_ && end.found == now.byRole[end.role].server) {
            owners_[end.role] = end.found;
            ++periodicSearches_;
            continue;
        }
        // The second half of a move (its addresses change one at a time) may
        // be seen at the next look: the same choice again.
        if (end.atMs <= repeatUntilMs_ && owners_[end.role] == end.found) {
            repeated_.insert(end.role);
            if (repeated_.size() == kRoamingRoles.size()) repeatUntilMs_ = 0;
            continue;
        }
        return Violation("a search without a reason", "no search: " + OwnersText(owners_),
                         end.role + " searched, found \"" + end.found + "\"");
    }
    // A search on the period may be handing a role over right now: the
    // owners and HPD.DAT are looked at once it has ended.
    if (!watching_ && channel_.SearchingAt(NowMs())) return true;
    std::map<std::string, std::string> seen = OwnersNow();
    if (seen != owners_)
        return Violation("an owner changed between reasons", OwnersText(owners_), OwnersText(seen));
    std::string hpd;
    if (!HpdWhole(&hpd))
        return Violation("HPD.DAT is not whole", "absent, or 4 or 8 lines each ended by CR LF", hpd);
    if (NowMs() - clientsChangedMs_ > 3000) {
        std::optional<DWORD> count =
            e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ClientCount");
        if (count != clients_.size())
            return Violation("\"ClientCount\" does not follow the Clients key",
                             std::to_string(clients_.size()),
                             count ? std::to_string(*count) : "absent");
    }
    if (NowMs() - lastFiguresMs_ < 10000) return true;
    lastFiguresMs_ = NowMs();
    return TakeFigures();
}

bool Soak::Quiet(double ms) {
    for (double end = NowMs() + ms; NowMs() < end;) {
        Sleep(static_cast<DWORD>(std::min(1000.0, std::max(1.0, end - NowMs()))));
        if (!Sample()) return false;
    }
    return true;
}

bool Soak::StopAndCheck(bool quiet, bool shutdown) {
    channel_.Poll();
    bool busy = channel_.SearchingAt(NowMs());
    std::string parent = ReadOwner("Parent");
    bool realParent = !parent.empty() && parent != e2e::kParentMarker;
    std::string record = e2e::TestClientRecordKey();
    e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress");
    if (quiet && realParent) lab::DeleteValue(parent, record, "good");
    StopResult stop = shutdown ? program_.ShutDown(15000) : program_.Stop(15000);
    stopMs_.push_back(stop.ms);
    if (busy) ++busyStops_;
    if (shutdown) ++shutdowns_;
    announced_ = true;
    std::printf("%8.1f s  #%d %s: %s in %.0f ms%s\n", SinceStartMs() / 1000, eventNumber_,
                event_.c_str(), shutdown ? "shut down" : "stopped", stop.ms,
                busy ? " during a search or takeover" : "");
    std::string expectation = "ended with exit code 0 within 5 s, \"Parent\" the marker, "
                              "\"LastNetAddress\" written";
    if (!stop.ended || stop.ms > kStopLimitMs || stop.exitCode != 0)
        return Violation("the stop was not honoured in time", expectation,
                         (stop.ended ? "ended" : "still running") + std::string(" after ") +
                             std::to_string(static_cast<int>(stop.ms)) + " ms, exit code " +
                             std::to_string(stop.exitCode));
    std::string marker = ReadOwner("Parent");
    if (marker != e2e::kParentMarker)
        return Violation("the parent was not released", expectation, "\"Parent\" = " + marker);
    // Without its socket library the program has no addresses to save.
    if (watching_ && !e2e::ValueExists(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress"))
        return Violation("the addresses were not saved", expectation, "no \"LastNetAddress\"");
    if (!quiet || !realParent) return true;
    std::string last = e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "LastParent").value_or("");
    bool canWrite = !down_.count(parent) && !refusing_.count(parent);
    std::optional<DWORD> good = lab::ReadDword(parent, record, "good");
    if (last != parent || (canWrite ? good != 0u : good.has_value()))
        return Violation("the release did not leave its traces",
                         "\"LastParent\" " + parent + ", record on " + parent +
                             (canWrite ? " good = 0" : " untouched (it cannot be written)"),
                         "\"LastParent\" " + last + ", good " +
                             (good ? std::to_string(*good) : std::string("absent")));
    return true;
}

}  // namespace soak
