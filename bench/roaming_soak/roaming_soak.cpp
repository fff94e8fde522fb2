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
// Usage: roaming_soak SEED MINUTES nt|9x

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "bench_clock.h"
#include "harness/harness.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet.h"
#include "process_figures.h"
#include "soak_channel.h"
#include "soak_model.h"
#include "soak_network.h"
#include "soak_program.h"
#include "soak_schedule.h"

namespace soak {
namespace {

constexpr double kStopLimitMs = 5000;
constexpr double kParentCheckMs = 60000;  // CheckParentIntervalInMinutes 1
// The product's two waits in a parent takeover, each up to a minute.
constexpr double kProductWaitMs = 60000;
constexpr double kSlackMs = 15000;
constexpr uint32_t kDownStatus = 5;
constexpr size_t kHandleGrowthLimit = 16;
constexpr double kPrivateGrowthLimitMb = 4;

struct Reason {
    std::string kind;  // "start", "move", "parent check"
    std::vector<std::string> roles;
    double atMs = 0;
    double boundMs = 0;
};

struct Figures {
    double atMinute = 0;
    DWORD processId = 0;
    double upMinutes = 0;
    long handles = 0;
    double privateMb = 0;
};

double Median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}
double Worst(const std::vector<double>& values) {
    return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

class Soak {
public:
    Soak(uint32_t seed, double minutes, Family family)
        : seed_(seed), minutes_(minutes), schedule_(seed), program_(family) {}
    int Run();

private:
    bool SetUp();
    void TearDown();
    bool Play(EventKind kind, bool* played);
    bool PlayMove();
    bool PlayDown(bool* played);
    bool PlayUp(bool* played);
    bool PlayLatency(bool slower, bool* played);
    bool PlayStop();
    bool PlayClient(bool joins, bool* played);
    void PlayProduct(EventKind kind);
    bool PlayWrites(bool refuse, bool* played);

    bool Choose(const std::string& table, Choices* choices);
    bool StartProgram(const char* kind);
    bool StopAndCheck(bool quiet);
    bool Converge(const Reason& reason, const Choices& expected);
    bool Quiet(double ms);
    bool Sample();
    bool HpdWhole(std::string* seen) const;
    void TakeFigures();
    double TakeoverAllowanceMs() const;
    double SinceStartMs() const { return NowMs() - startMs_; }
    bool Violation(const std::string& what, const std::string& expected, const std::string& seen);
    void Report() const;

    uint32_t seed_;
    double minutes_;
    Schedule schedule_;
    Program program_;
    Channel channel_;
    Model model_;
    double startMs_ = 0;
    double processStartMs_ = 0;
    std::string event_ = "set-up";
    int eventNumber_ = 0;
    bool announced_ = false;  // the event's line is out (with its convergence or stop)

    // What the lab is now, as the soak made it.
    std::string site_;
    std::map<std::string, uint32_t> latency_;  // of every server, reachable or not
    std::set<std::string> down_;
    std::set<std::string> refusing_;
    std::set<std::string> clients_;
    int nextClient_ = 1;
    double clientsChangedMs_ = 0;
    bool productNever_ = false;
    uint32_t productSlowMs_ = 0;

    // What the program must show between reasons.
    std::map<std::string, std::string> owners_;
    size_t endsSeen_ = 0;
    double repeatUntilMs_ = 0;  // a move's search may be repeated until then

    // What happened, for the report.
    std::map<EventKind, int> played_;
    std::map<std::string, std::vector<double>> convergence_;  // seconds, by reason kind
    std::vector<double> stopMs_;
    int busyStops_ = 0;
    std::vector<Figures> figures_;
    long baseHandles_ = -1;
    double basePrivateMb_ = 0;
    double lastFiguresMs_ = 0;
    double nextFiguresMinute_ = 10;
};

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
            if (std::find(reason.roles.begin(), reason.roles.end(), end.role) == reason.roles.end())
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

void Soak::TakeFigures() {
    DWORD id = program_.ProcessId();
    long handles = figures::CountHandles(id);
    double privateMb = figures::MemoryOf(program_.Process()).privateMB;
    double minute = SinceStartMs() / 60000;
    if (minute >= nextFiguresMinute_) {
        figures_.push_back({minute, id, (NowMs() - processStartMs_) / 60000, handles, privateMb});
        nextFiguresMinute_ += 10;
    }
    // After a minute of warm-up, the process's own figures stay where they were.
    if (NowMs() - processStartMs_ < 60000) return;
    if (baseHandles_ < 0) {
        baseHandles_ = handles;
        basePrivateMb_ = privateMb;
    }
}

bool Soak::Sample() {
    channel_.Poll();
    if (!program_.Alive())
        return Violation("the program ended by itself", "running", "not running");
    const std::vector<SearchEnd>& ends = channel_.Ends();
    for (; endsSeen_ < ends.size(); ++endsSeen_) {
        const SearchEnd& end = ends[endsSeen_];
        // The second half of a move (its addresses change one at a time) may
        // be seen at the next look: the same choice again.
        if (end.atMs <= repeatUntilMs_ && owners_[end.role] == end.found) continue;
        return Violation("a search without a reason", "no search: " + OwnersText(owners_),
                         end.role + " searched, found \"" + end.found + "\"");
    }
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
    if (NowMs() - lastFiguresMs_ >= 10000) {
        lastFiguresMs_ = NowMs();
        TakeFigures();
        if (baseHandles_ >= 0) {
            long handles = figures::CountHandles(program_.ProcessId());
            double privateMb = figures::MemoryOf(program_.Process()).privateMB;
            if (handles > baseHandles_ + static_cast<long>(kHandleGrowthLimit) ||
                privateMb > basePrivateMb_ + kPrivateGrowthLimitMb)
                return Violation("the process grows", "handles and private bytes flat after warm-up: " +
                                 std::to_string(baseHandles_) + " handles, " +
                                 std::to_string(basePrivateMb_) + " MB",
                                 std::to_string(handles) + " handles, " + std::to_string(privateMb) + " MB");
        }
    }
    return true;
}

bool Soak::Quiet(double ms) {
    for (double end = NowMs() + ms; NowMs() < end;) {
        Sleep(static_cast<DWORD>(std::min(1000.0, std::max(1.0, end - NowMs()))));
        if (!Sample()) return false;
    }
    return true;
}

bool Soak::StopAndCheck(bool quiet) {
    channel_.Poll();
    bool busy = channel_.SearchingAt(NowMs());
    std::string parent = ReadOwner("Parent");
    bool realParent = !parent.empty() && parent != e2e::kParentMarker;
    std::string record = e2e::TestClientRecordKey();
    e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress");
    if (quiet && realParent) lab::DeleteValue(parent, record, "good");
    StopResult stop = program_.Stop(15000);
    stopMs_.push_back(stop.ms);
    if (busy) ++busyStops_;
    announced_ = true;
    std::printf("%8.1f s  #%d %s: stopped in %.0f ms%s\n", SinceStartMs() / 1000, eventNumber_,
                event_.c_str(), stop.ms, busy ? " during a search or takeover" : "");
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
    if (!e2e::ValueExists(HKEY_LOCAL_MACHINE, e2e::kProductControl, "LastNetAddress"))
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

bool Soak::PlayMove() {
    std::vector<std::string> others;
    for (const std::string& site : kSites)
        if (site != site_) others.push_back(site);
    std::string site = schedule_.Pick(others);
    event_ = "move to " + site;
    double at = NowMs();
    std::string error;
    if (!lab::MoveToSite(site, &error)) return Violation("the lab cannot move", site, error);
    site_ = site;
    down_.clear();
    std::string table = lab::SiteTableNow();
    for (const std::string& server : kServers)
        latency_[server] = static_cast<uint32_t>(std::atoi(EntryOf(table, server).c_str()));
    Choices expected;
    if (!Choose(table, &expected)) return false;
    // The NT service looks at the addresses once a minute; the Windows 9x
    // process at every pass of a second, between other work.
    double look = program_.family() == Family::NtService ? 61000 : 3000;
    Reason reason{"move", {}, at, look + expected.SearchMs() * 1.5 + TakeoverAllowanceMs() + kSlackMs};
    for (const RoamingRole& role : kRoamingRoles) reason.roles.push_back(role.word);
    if (!Converge(reason, expected)) return false;
    repeatUntilMs_ = NowMs() + reason.boundMs;
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
        kestrel::StopService();
        lab::SetDword("<local>", "-", "Orientation", kestrel::kOrientationStopped);
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
    std::printf("stops: %zu (%d during a search or takeover), from the request to the end: "
                "median %.0f ms, worst %.0f ms\n",
                stopMs_.size(), busyStops_, Median(stopMs_), Worst(stopMs_));
    for (const Figures& f : figures_)
        std::printf("at %4.1f min: process %lu (up %.1f min): %ld handles, %.2f MB private\n",
                    f.atMinute, f.processId, f.upMinutes, f.handles, f.privateMb);
}

int Soak::Run() {
    startMs_ = NowMs();
    std::printf("roaming_soak: seed %u, %.1f minutes, the %s %s\n", seed_, minutes_,
                FamilyName(program_.family()), e2e::PerchmanPath().c_str());
    std::fflush(stdout);
    bool ok = SetUp();
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
        TakeFigures();
        ok = StopAndCheck(true);
    }
    Report();
    TearDown();
    std::printf("roaming_soak: %s\n", ok ? "no violation" : "FAILED");
    return ok ? 0 : 1;
}

}  // namespace
}  // namespace soak

int main(int argc, char** argv) {
    std::string family = argc == 4 ? argv[3] : "";
    if (argc != 4 || (family != "nt" && family != "9x") || std::atof(argv[2]) <= 0) {
        std::fputs("usage: roaming_soak SEED MINUTES nt|9x\n", stderr);
        return 2;
    }
    soak::Soak soak(static_cast<uint32_t>(std::strtoul(argv[1], nullptr, 0)), std::atof(argv[2]),
                    family == "nt" ? soak::Family::NtService : soak::Family::Win9xBackground);
    return soak.Run();
}
