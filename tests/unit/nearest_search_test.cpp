#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/text.h"
#include "engine/engine_loop.h"
#include "engine/engine_settings.h"
#include "engine/nearest.h"
#include "captured_stdout.h"
#include "engine_fakes.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace {

using engine_test::SavedTables;
using engine_test::ScratchKey;
using unit_test::CapturedStdout;

constexpr char kRole[] = "UnitSearch";
constexpr char kLevel0Value[] = "RoamManagingUnitSearchLevel0";
constexpr char kLocalControl[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";

// A server of the fake network: its reply to a list probe, how long it takes,
// and its published client count.
struct FakeServer {
    std::string nextList;
    DWORD delayMs = 0;
    std::optional<DWORD> clients;
    product::Status status = 0;
};
FakeServer Answering(std::string nextList, DWORD delayMs = 0) {
    FakeServer server;
    server.nextList = std::move(nextList);
    server.delayMs = delayMs;
    return server;
}
FakeServer WithClients(DWORD clients) {
    FakeServer server;
    server.clients = clients;
    return server;
}

std::map<std::string, FakeServer> Network;
std::vector<std::string> Probed;
int SlowProbesLeft = 0;  // probes that take 30 ms before the network speeds up

void Store16(uint8_t* at, uint16_t value) { std::memcpy(at, &value, sizeof value); }

product::Status WINAPI FakeRead(const char* server, const char* keyPath, uint8_t* block,
                                uint32_t capacity, uint32_t* count) {
    std::string wanted(reinterpret_cast<const char*>(block));
    auto found = Network.find(server);
    if (wanted == "ClientCount") {
        if (found == Network.end() || !found->second.clients) return product::kNotFound;
        Store16(block, 4);
        std::memcpy(block + 2, &*found->second.clients, 4);
        Store16(block + 6, REG_DWORD);
        return 0;
    }
    Probed.push_back(server);
    if (SlowProbesLeft > 0) {
        --SlowProbesLeft;
        Sleep(30);
    }
    if (found == Network.end()) return product::kCommTimeout;
    const FakeServer& fake = found->second;
    if (fake.delayMs) Sleep(fake.delayMs);
    if (fake.status) return fake.status;
    // As the library replies: the value with its NUL, as much as the block
    // holds between the length and the type word.
    size_t told = std::min<size_t>(fake.nextList.size() + 1, capacity ? capacity - 4 : 980);
    Store16(block, static_cast<uint16_t>(told));
    std::memcpy(block + 2, fake.nextList.c_str(), told);
    return 0;
}

uint8_t* WINAPI FakeBlockData(uint8_t* block, uint32_t, uint16_t* type) {
    uint16_t length;
    std::memcpy(&length, block, sizeof length);
    std::memcpy(type, block + 2 + length, sizeof *type);
    return block + 2;
}

std::string Formatted(unsigned id, const char* argument) {
    char text[kTextSize];
    FormatMessageId(text, sizeof text, id, argument);
    return text;
}

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
}

class NearestSearch : public ::testing::Test {
protected:
    void SetUp() override {
        Network.clear();
        Probed.clear();
        SlowProbesLeft = 0;
        Product.ReadServerValues = FakeRead;
        Product.GetValueBlockData = FakeBlockData;
        Product.GetDwordValue = engine_test::RegistryGetDword;
        Keys.ProductControl = settings_.get();
        settings_.SetDword("TimesToAverage", 1);
        RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLocalControl, 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &local_, nullptr);
        EngineSettings = EngineSettingsRecord{};
        EngineSettings.CheckForNewParentIntervalMs = 0;
    }
    void TearDown() override {
        RegDeleteValueA(local_, kLevel0Value);
        RegCloseKey(local_);
        EngineSettings = EngineSettingsRecord{};
        ShowDetail = 0;
    }
    void SetFirstList(const std::string& list) {
        RegSetValueExA(local_, kLevel0Value, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(list.c_str()),
                       static_cast<DWORD>(list.size() + 1));
    }

    SavedTables saved_;
    ScratchKey settings_{"NearestSearch"};
    HKEY local_ = nullptr;
};

// A role without a first-level list has nothing to search: status 1, and the
// retry wrapper gives up at once instead of waiting for servers.
TEST_F(NearestSearch, ARoleWithoutServersEndsAtOnceWithStatusOne) {
    char name[kServerNameSize] = "stale";
    EXPECT_EQ(FindNearestServer(kRole, name), 1);
    EXPECT_STREQ(name, "");

    EngineSettings.CheckForNewParentIntervalMs = 60u * 60u * 1000u;
    uint32_t elapsed = 0xFFFFFFFFu;
    CopyText(name, "stale");
    EXPECT_EQ(FindNearestWithRetry(kRole, name, &elapsed, 0), 1);
    EXPECT_STREQ(name, "");
    EXPECT_LT(elapsed, 5000u);
    EXPECT_TRUE(Probed.empty());
}

// Names end up in HPD.DAT lines, registry values and remote paths: a server
// whose name no computer can have answers like any other, is measured, and is
// never chosen.
TEST_F(NearestSearch, ServersWithUnusableNamesAreMeasuredButNeverChosen) {
    const std::string unusable[] = {"EVIL\r\nParent", "TAB\tBED", "BELL\x07",
                                    "EVIL\\SHARE", std::string(kLongestServerName + 1, 'L')};
    for (const std::string& bad : unusable) {
        Network.clear();
        Probed.clear();
        Network[bad] = FakeServer{};  // answers at once
        Network["B"] = Answering("", 2);  // slower, but usable
        SetFirstList(bad + ">B");
        char name[kServerNameSize] = "";
        EXPECT_EQ(FindNearestServer(kRole, name), 0);
        EXPECT_STREQ(name, "B");
        EXPECT_EQ(std::count(Probed.begin(), Probed.end(), bad), 2);  // warm-up and sample
    }
    // The longest computer name is an ordinary name.
    const std::string longest(kLongestServerName, 'F');
    Network.clear();
    Network[longest] = FakeServer{};
    Network["B"] = Answering("", 2);
    SetFirstList(longest + ">B");
    char name[kServerNameSize] = "";
    EXPECT_EQ(FindNearestServer(kRole, name), 0);
    EXPECT_EQ(std::string(name), longest);
}

// A level whose servers all answer, but none within its limit, is retried
// after the pause until one does; message 92 is printed once per call.
TEST_F(NearestSearch, RetryWaitsUntilAServerAnswersWithinItsLimit) {
    Network["A"] = FakeServer{};
    SetFirstList("A(15)");
    SlowProbesLeft = 4;  // two searches of a warm-up and one sample each
    ShowDetail = 1;
    char name[kServerNameSize] = "";
    uint32_t elapsed = 0;
    CapturedStdout out;
    int code = FindNearestWithRetry(kRole, name, &elapsed, 0);
    std::string text = out.Finish();
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(name, "A");
    EXPECT_EQ(Probed.size(), 6u);
    EXPECT_EQ(Count(text, Formatted(92, kRole)), 1u) << text;
    EXPECT_EQ(Count(text, Formatted(85, "A(15)")), 3u) << text;
}

// A stop asked for during the pause ends it at once: the service must not sit
// out CheckForNewParentInterval (or for ever) before it stops.
TEST_F(NearestSearch, AStopRequestEndsTheRetryPauseWithoutAName) {
    Network["A"] = Answering("", 30);
    SetFirstList("A(15)");  // answers, never within its limit
    EngineSettings.CheckForNewParentIntervalMs = 30000;
    HANDLE stopper = CreateThread(
        nullptr, 0,
        [](void*) WINAPI -> DWORD {
            Sleep(200);
            StopEngineLoop();
            return 0;
        },
        nullptr, 0, nullptr);
    char name[kServerNameSize] = "stale";
    uint32_t elapsed = 0;
    uint32_t start = ClockMs();
    int code = -1;
    engine_test::ExpectGivesWayWithin(5000, [&] { code = FindNearestWithRetry(kRole, name, &elapsed, 0); });
    uint32_t took = ElapsedMs(start, ClockMs());
    WaitForSingleObject(stopper, INFINITE);
    CloseHandle(stopper);
    ClearEngineStop();
    EXPECT_EQ(code, 0);
    EXPECT_STREQ(name, "");
    EXPECT_LT(took, 2000u);
}

// A last probe that failed ends the retry at once, with an empty name and
// the failure's status; a single attempt reports 0 whatever happened.
TEST_F(NearestSearch, AFailedLastProbeEndsTheRetry) {
    Network["A"] = Answering("", 30);
    SetFirstList("A(15),B");  // A too slow, B unknown to the network
    char name[kServerNameSize] = "stale";
    uint32_t elapsed = 0;
    EXPECT_EQ(FindNearestWithRetry(kRole, name, &elapsed, 0),
              static_cast<int>(product::kCommTimeout));
    EXPECT_STREQ(name, "");
    EXPECT_EQ(Probed.size(), 3u);  // warm-up of A, then one sample each
    EXPECT_EQ(FindNearestWithRetry(kRole, name, &elapsed, 1), 0);
}

// The levels: each winner's list is searched next; a level with nothing that
// answers leaves the winner above; between equals of the last level the one
// with the fewest clients wins.
TEST_F(NearestSearch, FollowsTheWinnersListsDownToTheLastLevel) {
    Network["R1"] = Answering("M1=M2=M3");
    Network["R2"] = Answering("X", 20);
    Network["M1"] = WithClients(7);
    Network["M2"] = WithClients(2);
    Network["M3"] = WithClients(5);
    SetFirstList("R1,R2");
    char name[kServerNameSize] = "";
    EXPECT_EQ(FindNearestServer(kRole, name), 0);
    EXPECT_STREQ(name, "M2");

    Network["R1"] = Answering("DOWN1,DOWN2");
    EXPECT_NE(FindNearestServer(kRole, name), 0);
    EXPECT_STREQ(name, "R1");

    // Client counts decide only at the last level: above it the fastest
    // member of an equal group is followed, however many clients it has.
    Network["R1"] = Answering("FAST=SLOW");
    Network["FAST"] = Answering("F2");
    Network["FAST"].clients = 90;
    Network["SLOW"] = Answering("S2", 20);
    Network["SLOW"].clients = 1;
    Network["F2"] = FakeServer{};
    Network["S2"] = FakeServer{};
    EXPECT_EQ(FindNearestServer(kRole, name), 0);
    EXPECT_STREQ(name, "F2");
}


// A chain of servers each naming the next, 70 deep: the walk measures 64
// levels and takes the best of the last, as the export stops there too.
TEST_F(NearestSearch, TheWalkEndsAtTheDeepestLevel) {
    auto server = [](int level) {
        std::string name = "L";
        name += std::to_string(level);
        return name;
    };
    for (int level = 1; level <= 70; ++level)
        Network[server(level)] = Answering(level < 70 ? server(level + 1) : "");
    SetFirstList("L1");
    ShowDetail = 1;
    char name[kServerNameSize] = "";
    CapturedStdout out;
    EXPECT_EQ(FindNearestServer(kRole, name), 0);
    std::string text = out.Finish();
    EXPECT_STREQ(name, "L64");
    EXPECT_EQ(Probed.size(), 65u);  // the warm-up and one sample per level
    char line[kTextSize];
    FormatMessageId(line, sizeof line, 161, 64, "L64", 65);
    EXPECT_EQ(Count(text, line), 1u) << text;
}

// A list longer than a reply carries arrives cut, its last name in two: the
// part that arrived ("MAD-1" of "MAD-1000") names another server, which is
// never taken.
TEST_F(NearestSearch, APartOfANameCutByTheReplyIsNeverTaken) {
    Network["R"] = Answering(std::string(974, 'F') + ",MAD-1000");
    Network["MAD-1"] = FakeServer{};
    SetFirstList("R");
    char name[kServerNameSize] = "";
    EXPECT_EQ(FindNearestServer(kRole, name), static_cast<int>(product::kCommTimeout));
    EXPECT_STREQ(name, "R");
    EXPECT_EQ(std::count(Probed.begin(), Probed.end(), "MAD-1"), 0);
}

// Each role's winner goes to that role's entry of the table start-up hands
// the search; a role the table leaves out fails its takeover, loudly.
std::vector<std::pair<std::string, std::string>> TakenOver;  // entry, server

TEST_F(NearestSearch, EachRoleHandsItsWinnerToItsOwnTakeover) {
    const std::pair<const char*, const char*> roles[] = {
        {"Parent", "P1"}, {"Quarantine", "Q1"}, {"HPD", "H1"}, {"KPZ", "K1"},
        {"WDR", "W1"},    {"Primary", "PR1"},   {"Alerts", "A1"}};
    auto level0 = [](const char* role) { return std::string("RoamManaging") + role + "Level0"; };
    for (const auto& [role, server] : roles) {
        RegSetValueExA(local_, level0(role).c_str(), 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(server), static_cast<DWORD>(strlen(server) + 1));
        Network[server] = FakeServer{};
    }
    EngineSettings.RoamClient = EngineSettings.RoamQuarantine = EngineSettings.RoamHPD = 1;
    EngineSettings.RoamKPZ = EngineSettings.RoamWDR = EngineSettings.RoamServer = 1;
    EngineSettings.RoamAlerts = 1;
    TakenOver.clear();
    RoleTakeovers table = {};
    table.parent = [](const char* s) { TakenOver.push_back({"parent", s}); return 1; };
    table.quarantine = [](const char* s) { TakenOver.push_back({"quarantine", s}); return 1; };
    table.hpd = [](const char* s) { TakenOver.push_back({"hpd", s}); return 1; };
    table.kpz = [](const char* s) { TakenOver.push_back({"kpz", s}); return 1; };
    table.wdr = [](const char* s) { TakenOver.push_back({"wdr", s}); return 1; };
    table.primary = [](const char* s) { TakenOver.push_back({"primary", s}); return 1; };
    table.alerts = [](const char* s) { TakenOver.push_back({"alerts", s}); return 1; };
    SetRoleTakeovers(table);
    CapturedStdout quiet;
    NearestAll(1);

    SetRoleTakeovers(RoleTakeovers{});
    CapturedStdout captured;
    NearestParent(1);
    std::string out = captured.Finish();
    quiet.Finish();
    for (const auto& [role, server] : roles) RegDeleteValueA(local_, level0(role).c_str());

    const std::vector<std::pair<std::string, std::string>> expected = {
        {"parent", "P1"}, {"quarantine", "Q1"}, {"hpd", "H1"},  {"kpz", "K1"},
        {"wdr", "W1"},    {"primary", "PR1"},   {"alerts", "A1"}};
    EXPECT_EQ(TakenOver, expected);
    // Message 97 up to its time: the takeover of P1 failed.
    char failed[kTextSize];
    LoadMessage(97, failed);
    std::string head = failed;
    head = head.substr(0, head.find("%d")).replace(head.find("%s"), 2, "P1");
    EXPECT_NE(out.find(head), std::string::npos) << head << " in " << out;
}

}  // namespace

namespace {

// A stop made while the engine searches all roles: wherever it lands (in a
// measuring round, in the retry pause) the search ends within moments,
// reports neither a finding nor a failure, takes nothing over, and the next
// enabled role is not started.
TEST_F(NearestSearch, AStopEndsTheSearchOfAllRolesQuietly) {
    constexpr char kParentList[] = "RoamManagingParentLevel0";
    constexpr char kQuarantineList[] = "RoamManagingQuarantineLevel0";
    const struct {
        const char* what;
        const char* parentList;
        DWORD timesToAverage;
    } cases[] = {
        {"in a round that would find P1", "P1,P2", 20},  // about 4 s of probes
        {"in the pause of a hopeless retry", "P1(1)", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Network.clear();
        Probed.clear();
        Network["P1"] = Answering("", 100);
        Network["P2"] = Answering("", 100);
        Network["Q1"] = Answering("");
        settings_.SetDword("TimesToAverage", c.timesToAverage);
        RegSetValueExA(local_, kParentList, 0, REG_SZ,
                       reinterpret_cast<const BYTE*>(c.parentList),
                       static_cast<DWORD>(std::strlen(c.parentList) + 1));
        RegSetValueExA(local_, kQuarantineList, 0, REG_SZ, reinterpret_cast<const BYTE*>("Q1"), 3);
        EngineSettings.RoamClient = 1;
        EngineSettings.RoamQuarantine = 1;
        EngineSettings.CheckForNewParentIntervalMs = 30000;
        ShowDetail = 1;

        uint32_t took = 0;
        std::string text;
        {
            engine_test::DelayedStop stop(250);
            uint32_t start = ClockMs();
            CapturedStdout out;
            engine_test::ExpectGivesWayWithin(5000, [] { NearestAll(0); });
            text = out.Finish();
            took = ElapsedMs(start, ClockMs());
        }
        RegDeleteValueA(local_, kParentList);
        RegDeleteValueA(local_, kQuarantineList);

        EXPECT_LT(took, 1000u);
        EXPECT_LE(Probed.size(), 5u);  // up to the stop, and the one in flight
        EXPECT_EQ(std::count(Probed.begin(), Probed.end(), "Q1"), 0);
        EXPECT_EQ(Count(text, Formatted(85, "Q1")), 0u) << text;
        EXPECT_EQ(Count(text, Formatted(147, "")), 0u) << text;
        EXPECT_EQ(Count(text, "El padre"), 0u) << text;  // 95, 96 and 97
    }
}

}  // namespace

namespace {

// What a driver prints when the stop comes after its search completed: the
// finding as written (95, or 101 for the primary role), no takeover started,
// and for a takeover that the stop cut short, no failure message.
TEST_F(NearestSearch, AStopAfterTheSearchStillReportsTheFindingButNoFailure) {
    constexpr char kParentList[] = "RoamManagingParentLevel0";
    constexpr char kPrimaryList[] = "RoamManagingPrimaryLevel0";
    static bool stopInTakeover;
    static int takeovers;
    const struct {
        const char* what;
        int (*driver)(int once);
        const char* list;
        unsigned found, failed;
        bool stopInTakeover;
        int takeovers;
    } cases[] = {
        {"parent, stop as its search ends", NearestParent, kParentList, 95, 97, false, 0},
        {"primary, stop as its search ends", NearestPrimary, kPrimaryList, 101, 103, false, 0},
        {"parent, stop cuts its takeover", NearestParent, kParentList, 95, 97, true, 1},
        {"primary, stop cuts its takeover", NearestPrimary, kPrimaryList, 101, 103, true, 1},
    };
    auto head = [](unsigned id) {
        char text[kTextSize];
        LoadMessage(id, text);
        std::string line = text;
        return line.substr(0, line.find('%'));
    };
    RoleTakeovers table = {};
    table.parent = table.primary = [](const char*) {
        ++takeovers;
        if (stopInTakeover) StopEngineLoop();
        return stopInTakeover ? 0 : 1;
    };
    SetRoleTakeovers(table);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Network.clear();
        Network["S1"] = FakeServer{};
        RegSetValueExA(local_, c.list, 0, REG_SZ, reinterpret_cast<const BYTE*>("S1"), 3);
        stopInTakeover = c.stopInTakeover;
        takeovers = 0;
        // The stop lands during the search's last probe: it still completes.
        Product.ReadServerValues = [](const char* server, const char* keyPath, uint8_t* block,
                                      uint32_t capacity, uint32_t* count) WINAPI -> product::Status {
            if (!stopInTakeover && Probed.size() == 1) StopEngineLoop();
            return FakeRead(server, keyPath, block, capacity, count);
        };
        Probed.clear();
        CapturedStdout out;
        c.driver(0);
        std::string text = out.Finish();
        ClearEngineStop();
        RegDeleteValueA(local_, c.list);

        EXPECT_EQ(Count(text, head(c.found)), 1u) << text;
        EXPECT_EQ(takeovers, c.takeovers);
        EXPECT_EQ(Count(text, head(c.failed)), 0u) << text;
    }
    SetRoleTakeovers(RoleTakeovers{});
}

}  // namespace
