// Hostile or broken servers against the real program, one row per entry of
// the lab's hostile-server kit: what the machine chose, what it stored and
// what it printed.

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/service_control.h"
#include "labnet/labnet.h"

namespace {

using e2e::RunResult;

constexpr char kCommon[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Common";
constexpr char kQuarantine[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\Quarantine";
constexpr char kSource[] = "ClientConfig\\Quarantine";

// The network of every row: one sample per server, and the quarantine server
// Q with a value at the top of what it hands out.
const std::string kQuarantineServer =
    "server Q latency=1\n"
    "list <local> Quarantine 0 Q\n"
    "list Q Quarantine 1 \"\"\n"
    "dword Q ClientConfig\\Quarantine Top 1\n";

struct Row {
    const char* kit;
    std::string network;
    const char* option;
    // The server the search names (message 95), "" for none.
    std::string chosen;
    std::function<void(const RunResult&)> storedAndPrinted;
};

// Message id's lines, each as its captured inserts.
std::vector<std::vector<std::string>> Lines(const RunResult& result, unsigned id) {
    return e2e::MessageOccurrences(result.out, id);
}

std::vector<std::string> QuarantineValueNames() {
    std::vector<std::string> names;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kQuarantine, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return names;
    char name[512];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumValueA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.push_back(name);
    }
    RegCloseKey(key);
    return names;
}

size_t CountStartingWith(const std::vector<std::string>& names, const std::string& prefix) {
    size_t n = 0;
    for (const std::string& name : names) n += name.rfind(prefix, 0) == 0;
    return n;
}

// Nothing the program printed holds a control character but its line ends.
void ExpectOnlyWholeLines(const RunResult& result) {
    for (size_t i = 0; i < result.out.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(result.out[i]);
        if (c == '\r' && i + 1 < result.out.size() && result.out[i + 1] == '\n') {
            ++i;
            continue;
        }
        ASSERT_FALSE(c < 0x20 || c == 0x7F)
            << "byte " << static_cast<int>(c) << " at " << i << ":\n" << e2e::Escape(result.out);
    }
}

class HostileServerTest : public e2e::ProductTest {
protected:
    void TearDown() override {
        e2e::StopPerchmanService();
        e2e::RemovePerchmanService();
        e2e::ProductTest::TearDown();
    }
};

TEST_F(HostileServerTest, EachKitEntryLeavesTheMachineWhole) {
    const std::vector<Row> rows = {
        {"endless: a server that answers every level",
         "server LOOP latency=1\n"
         "list <local> Alerts 0 LOOP\n"
         "endless LOOP\n",
         "/nearest_alerts", "LOOP",
         [](const RunResult& result) {
             EXPECT_EQ(Lines(result, 89).size(), 64u) << "levels measured";
             auto deepest = Lines(result, 161);
             ASSERT_EQ(deepest.size(), 1u);
             EXPECT_EQ(deepest[0], (std::vector<std::string>{"64", "LOOP", "65"}));
         }},
        {"overlong: a reply cut inside a name",
         "server S latency=1\n"
         "server MAD-1 latency=1\n"
         "list <local> Alerts 0 S\n"
         "overlong S Alerts 1 MAD-1000 5\n"
         "list MAD-1 Alerts 1 \"\"\n",
         "/nearest_alerts", "S",
         [](const RunResult& result) {
             auto cut = Lines(result, 168);
             ASSERT_EQ(cut.size(), 1u);
             EXPECT_EQ(cut[0], (std::vector<std::string>{"S", "2"}));
             for (unsigned id : {87u, 88u})
                 for (const auto& probe : Lines(result, id)) EXPECT_NE(probe[1], "MAD-1");
         }},
        {"illegal-names: each character a computer name cannot hold",
         "server ANY latency=1\n"
         "server GOOD latency=30\n"
         "answer-any ANY\n"
         "illegal-names <local> Alerts 0 GOOD\n"
         "list ANY Alerts 1 \"\"\n"
         "list GOOD Alerts 1 \"\"\n",
         "/nearest_alerts", "GOOD",
         [](const RunResult& result) {
             auto refused = Lines(result, 163);
             // \ / : * ? " < | [ ] + ; % and blank, 31 control characters, DEL.
             ASSERT_EQ(refused.size(), 14u + 31u + 1u) << e2e::Describe(result);
             EXPECT_EQ(refused[0], (std::vector<std::string>{"N\\X", "\\"}));
             EXPECT_EQ(refused[14], (std::vector<std::string>{"N\\x01X", "\\x01"}));
             auto period = Lines(result, 164);
             ASSERT_EQ(period.size(), 1u);
             EXPECT_EQ(period[0][0], ".PERIOD");
             auto tooLong = Lines(result, 162);
             ASSERT_EQ(tooLong.size(), 1u);
             EXPECT_EQ(tooLong[0], (std::vector<std::string>{std::string(128, 'L'), "128", "127"}));
             ExpectOnlyWholeLines(result);
         }},
        {"counts with the top bit set",
         "server A latency=1 clients=5\n"
         "server B latency=2 clients=0x80000000\n"
         "server C latency=3 clients=0xFFFFFFFF\n"
         "list <local> Alerts 0 A=B=C\n"
         "list A Alerts 1 \"\"\nlist B Alerts 1 \"\"\nlist C Alerts 1 \"\"\n",
         "/nearest_alerts", "",  // a draw: the row checks the winner against it
         [](const RunResult& result) {
             auto random = Lines(result, 91);
             ASSERT_EQ(random.size(), 1u) << "the counts of B and C are unknown";
             int pick = (std::stoi(random[0][0]) + std::stoi(random[0][1])) % 3;
             const char* members[] = {"A", "B", "C"};
             EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, kCommon, "NQSSERVER"), members[pick]);
         }},
        {"deep: a key tree 20 levels deep",
         kQuarantineServer + "deep Q ClientConfig\\Quarantine 20\n",
         "/nearest_quarantine", "Q",
         [](const RunResult& result) {
             auto names = QuarantineValueNames();
             EXPECT_EQ(CountStartingWith(names, "Depth"), 16u);
             EXPECT_TRUE(e2e::ValueExists(HKEY_LOCAL_MACHINE, kQuarantine, "Depth16"));
             EXPECT_FALSE(e2e::ValueExists(HKEY_LOCAL_MACHINE, kQuarantine, "Depth17"));
             auto tooDeep = Lines(result, 166);
             ASSERT_EQ(tooDeep.size(), 1u);
             EXPECT_EQ(tooDeep[0][0],
                       std::string(kSource) + "\\D1\\D2\\D3\\D4\\D5\\D6\\D7\\D8\\D9\\D10\\D11\\D12"
                                              "\\D13\\D14\\D15\\D16\\D17");
             EXPECT_EQ(Lines(result, 98).size(), 1u);
         }},
        {"wide: 300 keys side by side",
         kQuarantineServer + "wide Q ClientConfig\\Quarantine 300\n",
         "/nearest_quarantine", "Q",
         [](const RunResult& result) {
             EXPECT_EQ(CountStartingWith(QuarantineValueNames(), "Wide"), 256u);
             auto bound = Lines(result, 167);
             ASSERT_EQ(bound.size(), 1u);
             EXPECT_EQ(bound[0], (std::vector<std::string>{kSource, "Q", "256", "1024"}));
         }},
        {"oversize: a value longer than a listing entry holds",
         kQuarantineServer + "oversize Q ClientConfig\\Quarantine Big 600\n",
         "/nearest_quarantine", "Q",
         [](const RunResult& result) {
             EXPECT_FALSE(e2e::ValueExists(HKEY_LOCAL_MACHINE, kQuarantine, "Big"));
             EXPECT_EQ(e2e::ReadDword(HKEY_LOCAL_MACHINE, kQuarantine, "Top"), 1u);
             auto skipped = Lines(result, 165);
             ASSERT_EQ(skipped.size(), 1u);
             EXPECT_EQ(skipped[0],
                       (std::vector<std::string>{"Big", kSource, "Q", "384", "3", "600"}));
         }},
        {"empty-more: listings that say \"more\" with nothing in them",
         kQuarantineServer + "empty-more Q\n",
         "/nearest_quarantine", "Q",
         [](const RunResult& result) {
             EXPECT_TRUE(QuarantineValueNames().empty());
             EXPECT_EQ(Lines(result, 97).size(), 1u) << "nothing to take over";
             EXPECT_EQ(Lines(result, 169).size(), 2u) << "the subkeys' listing and the values'";
         }},
        {"list-escaped: a list with control characters",
         "server S latency=1\n"
         "server T2 latency=5\n"
         "list <local> Alerts 0 S\n"
         "list-escaped S Alerts 1 \"T1\\r\\nFORGED LINE\\x07,T2\"\n"
         "list T2 Alerts 1 \"\"\n",
         "/nearest_alerts", "T2",
         [](const RunResult& result) {
             EXPECT_EQ(result.out.find("\r\nFORGED"), std::string::npos);
             EXPECT_NE(result.out.find("lista \"T1\\x0D\\x0AFORGED LINE\\x07,T2\""),
                       std::string::npos)
                 << e2e::Escape(result.out);
             ExpectOnlyWholeLines(result);
         }},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.kit);
        e2e::ResetProductRoot();
        Load("dword <local> ProductControl TimesToAverage 1\n" + row.network);
        e2e::RunOptions options;
        options.timeoutMs = 60000;
        RunResult result = e2e::RunPerchman({row.option}, options);
        // Each row on its own: one that fails leaves the others to be tried.
        EXPECT_TRUE(e2e::Finished(result));
        auto found = Lines(result, 95);
        EXPECT_EQ(found.size(), 1u) << e2e::Describe(result);
        if (found.size() != 1) continue;
        if (!row.chosen.empty()) {
            EXPECT_EQ(found[0][1], row.chosen);
            if (std::string(row.option) == "/nearest_alerts") {
                EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, kCommon, "NQSSERVER"), row.chosen);
            }
        }
        row.storedAndPrinted(result);
    }
}

// slow: a quarantine server whose every listing takes 300 ms, with keys that
// would take a minute to walk. The service is stopped during the walk: the
// stop is honoured at once, and the machine keeps its settings as they were,
// not half the server's.
TEST_F(HostileServerTest, AStopDuringASlowWalkOfKeysEndsItAndStoresNothing) {
    Load("dword <local> ProductControl RoamClient 0\n"
         "dword <local> ProductControl RoamQuarantine 1\n"
         "dword <local> ProductControl TimesToAverage 1\n" +
         kQuarantineServer +
         "wide Q ClientConfig\\Quarantine 100\n"
         "slow Q 300 EnumServerSubKeys EnumServerValues\n"
         "lab record\n");
    ASSERT_EQ(0u, e2e::InstallPerchmanService());
    ASSERT_EQ(0u, e2e::StartPerchmanService(e2e::Windows::XP));
    auto listings = [] {
        size_t n = 0;
        for (const std::string& line : lab::CallLogLines()) n += line.rfind("EnumServer", 0) == 0;
        return n;
    };
    bool walking = e2e::WaitUntil([&] { return listings() >= 3; }, 30000);
    e2e::ServiceStop stop = e2e::StopPerchmanService();
    e2e::RemovePerchmanService();
    ASSERT_TRUE(walking) << lab::ReadCallLog();
    ASSERT_TRUE(stop.stopped);
    EXPECT_LT(stop.ms, 3000.0);
    EXPECT_EQ(stop.status.dwWin32ExitCode, 0u);
    EXPECT_LT(listings(), 10u) << lab::ReadCallLog();
    EXPECT_TRUE(QuarantineValueNames().empty());
}

}  // namespace
