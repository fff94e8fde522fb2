#pragma once
// One soak run: the lab as the soak made it, what the program must show, and
// what happened. The events are played in soak_events.cpp, the checks made in
// soak_checks.cpp, the run itself in roaming_soak.cpp.

#include <windows.h>

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "soak_channel.h"
#include "soak_model.h"
#include "soak_program.h"
#include "soak_schedule.h"

namespace soak {

constexpr double kStopLimitMs = 5000;
constexpr double kParentCheckMs = 60000;  // CheckParentIntervalInMinutes 1
constexpr double kPeriodicSearchMs = 60000;  // FindNearestParentIntervalInMinutes 1
// The product's two waits in a parent takeover, each up to a minute.
constexpr double kProductWaitMs = 60000;
constexpr double kSlackMs = 15000;
// How long after a move's last address a search may still have begun on
// half of it: the look at the addresses comes a little before its first line.
constexpr double kHalfMoveMarginMs = 500;
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

class Soak {
public:
    // watching false: the program runs without its socket library, so that
    // it notices nothing of a move and searches on a fixed period instead.
    Soak(uint32_t seed, double minutes, Family family, bool watching)
        : seed_(seed), minutes_(minutes), schedule_(seed), program_(family, watching),
          watching_(watching) {}
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
    bool PlayOpeningStops();
    bool PlayClient(bool joins, bool* played);
    void PlayProduct(EventKind kind);
    bool PlayWrites(bool refuse, bool* played);

    bool Choose(const std::string& table, Choices* choices);
    bool StartProgram(const char* kind);
    bool StopAndCheck(bool quiet, bool shutdown = false);
    bool Converge(const Reason& reason, const Choices& expected);
    bool Quiet(double ms);
    bool Sample();
    bool HpdWhole(std::string* seen) const;
    // Records the process's figures; false (a violation) once they grow.
    bool TakeFigures();
    double TakeoverAllowanceMs() const;
    double SinceStartMs() const { return NowMs() - startMs_; }
    bool Violation(const std::string& what, const std::string& expected, const std::string& seen);
    void Report() const;

    uint32_t seed_;
    double minutes_;
    Schedule schedule_;
    Program program_;
    bool watching_;
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
    double repeatUntilMs_ = 0;  // a move's search may be repeated once until then
    std::set<std::string> repeated_;  // the roles that were

    // What happened, for the report.
    std::map<EventKind, int> played_;
    std::map<std::string, std::vector<double>> convergence_;  // seconds, by reason kind
    std::vector<double> stopMs_;
    int busyStops_ = 0;
    int shutdowns_ = 0;
    int periodicSearches_ = 0;  // without address watching: searches on the period
    std::vector<Figures> figures_;
    long baseHandles_ = -1;
    double basePrivateMb_ = 0;
    long handleGrowth_ = 0;  // the most any process grew after its warm-up
    double privateGrowthMb_ = 0;
    double lastFiguresMs_ = 0;
    double nextFiguresMinute_ = 10;
};

std::string OwnersText(const std::map<std::string, std::string>& owners);
// The owner of every roaming role as the registry shows it now.
std::map<std::string, std::string> OwnersNow();

}  // namespace soak
