// The search over the levels of a role's server lists, and the role drivers
// that hand its winner to the takeover.

#include "engine/nearest.h"

#include <windows.h>

#include <ctime>

#include "common/text.h"
#include "platform/stop_request.h"
#include "engine/engine_settings.h"
#include "engine/level_walk.h"
#include "engine/nearest_choice.h"
#include "engine/timing.h"
#include "output/output.h"
#include "product/server_registry.h"

namespace {

constexpr unsigned kMsgStartList = 85;
constexpr unsigned kMsgNoServers = 86;
constexpr unsigned kMsgRetrying = 92;
constexpr unsigned kMsgNearestFound = 95;
constexpr unsigned kMsgNearestPrimary = 101;
constexpr unsigned kMsgNotFound = 147;

RoleTakeovers Takeovers = {};

struct RoleDriver {
    const char* role;
    const char* roleText;  // inserted into messages 95 and 147
    int (*RoleTakeovers::*takeOver)(const char* server);
    unsigned succeeded;
    unsigned failed;
    bool reportsAsPrimary;  // message 101, printed also when nothing was found
};

constexpr RoleDriver kParentDriver = {"Parent", "", &RoleTakeovers::parent, 96, 97, false};
constexpr RoleDriver kQuarantineDriver = {"Quarantine", "Quarantine",
                                          &RoleTakeovers::quarantine, 98, 97, false};
constexpr RoleDriver kHPDDriver = {"HPD", "HPD", &RoleTakeovers::hpd, 99, 100, false};
constexpr RoleDriver kKPZDriver = {"KPZ", "KPZ", &RoleTakeovers::kpz, 123, 124, false};
constexpr RoleDriver kWDRDriver = {"WDR", "WDR", &RoleTakeovers::wdr, 121, 122, false};
constexpr RoleDriver kPrimaryDriver = {"Primary", "", &RoleTakeovers::primary, 102, 103, true};
constexpr RoleDriver kAlertsDriver = {"Alerts", "Alerts", &RoleTakeovers::alerts, 104, 105,
                                      false};

MeasuredRound MeasureByProbes(char* list, const char* role, int level, bool firstRound, void*) {
    return MeasureRound(list, role, level, firstRound);
}

int32_t ReadClientCount(const char* server, void*) {
    return static_cast<int32_t>(ReadServerDword(server, "ProductControl", "ClientCount",
                                                static_cast<DWORD>(CLIENTS_UNKNOWN)));
}

uint32_t CalendarSeconds(void*) { return static_cast<uint32_t>(std::time(nullptr)); }

constexpr GroupChoiceSources kNetworkGroupSources = {ReadClientCount, CalendarSeconds};
constexpr LevelWalkSources kNetworkWalkSources = {MeasureByProbes, &kNetworkGroupSources,
                                                  nullptr, nullptr};

int RunDriver(const RoleDriver& driver, int once) {
    char name[kServerNameSize] = "";
    uint32_t searchMs = 0;
    int code = FindNearestWithRetry(driver.role, name, &searchMs, once);
    // A stop cut the search (a round, or the pause before another one): it
    // found nothing to report, and did not fail either. A search that
    // completed before the stop reports what it found.
    bool stopping = !once && EngineStopRequested();
    if (stopping && (code == static_cast<int>(kRoundStopped) || (code == 0 && !name[0])))
        return 0;

    if (driver.reportsAsPrimary)
        PrintMessageId(kMsgNearestPrimary, nullptr, false, name, static_cast<int>(searchMs));
    else if (name[0])
        PrintMessageId(kMsgNearestFound, nullptr, false, driver.roleText, name,
                       static_cast<int>(searchMs));
    else
        PrintMessageId(kMsgNotFound, nullptr, false, driver.roleText);
    // The engine asked to stop starts no takeover.
    if (!name[0] || stopping) return 0;

    uint32_t start = ClockMs();
    int (*takeOver)(const char* server) = Takeovers.*driver.takeOver;
    int taken = takeOver ? takeOver(name) : 0;
    uint32_t takeOverMs = ElapsedMs(start, ClockMs());
    // A takeover the stop cut short has not failed: what it left is for the
    // release and the next start.
    if (!taken && !once && EngineStopRequested()) return 0;
    PrintMessageId(taken ? driver.succeeded : driver.failed, nullptr, false, name,
                   static_cast<int>(takeOverMs));
    return 0;
}

}  // namespace

void SetRoleTakeovers(const RoleTakeovers& takeovers) { Takeovers = takeovers; }

int FindNearestServer(const char* role, char* nameOut) {
    char list[kListSize] = "";
    uint32_t readMs = 0;
    ReadLocalServerList(list, role, &readMs);  // a failed read leaves the list empty
    PrintMessageId(kMsgStartList, nullptr, true, ShownText<>(list).get());
    if (!list[0]) {
        PrintMessageId(kMsgNoServers, nullptr, false, role);
        nameOut[0] = '\0';
        return 1;
    }

    return static_cast<int>(WalkServerLevels(list, role, kNetworkWalkSources, nameOut));
}

int FindNearestWithRetry(const char* role, char* nameOut, uint32_t* elapsedMsOut, int once) {
    char name[kServerNameSize] = "";
    uint32_t start = ClockMs();
    int code = 0;
    if (once) {
        FindNearestServer(role, name);
    } else {
        bool announced = false;
        for (;;) {
            start = ClockMs();
            code = FindNearestServer(role, name);
            // A failed last probe means the network itself is in doubt: give up
            // rather than wait for a server.
            if (code != 0 || name[0]) break;
            if (!announced) {
                PrintMessageId(kMsgRetrying, nullptr, true, role);
                announced = true;
            }
            // A stop request ends the pause; the engine then stops without a name.
            if (WaitForEngineStop(EngineSettings.CheckForNewParentIntervalMs)) break;
        }
    }
    *elapsedMsOut = ElapsedMs(start, ClockMs());
    CopyText(nameOut, kServerNameSize, name);
    return code;
}

int NearestParent(int once) { return RunDriver(kParentDriver, once); }
int NearestQuarantine(int once) { return RunDriver(kQuarantineDriver, once); }
int NearestHPD(int once) { return RunDriver(kHPDDriver, once); }
int NearestWDR(int once) { return RunDriver(kWDRDriver, once); }
int NearestKPZ(int once) { return RunDriver(kKPZDriver, once); }
int NearestPrimary(int once) { return RunDriver(kPrimaryDriver, once); }
int NearestAlerts(int once) { return RunDriver(kAlertsDriver, once); }

int NearestAll(int once) {
    const struct {
        DWORD enabled;
        int (*driver)(int once);
    } roles[] = {
        {EngineSettings.RoamClient, NearestParent},   {EngineSettings.RoamQuarantine, NearestQuarantine},
        {EngineSettings.RoamHPD, NearestHPD},         {EngineSettings.RoamKPZ, NearestKPZ},
        {EngineSettings.RoamWDR, NearestWDR},         {EngineSettings.RoamServer, NearestPrimary},
        {EngineSettings.RoamAlerts, NearestAlerts},
    };
    for (const auto& role : roles) {
        // The engine asked to stop starts no further search (and takeover).
        if (!once && EngineStopRequested()) break;
        if (role.enabled) role.driver(once);
    }
    return 0;
}
