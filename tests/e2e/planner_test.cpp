// perchplan end to end: the winners it plans against what perchman's own
// search chooses on the lab networks, its check of the lists, and bad input.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <map>
#include <random>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "labnet/labnet.h"

namespace {

constexpr DWORD kExitClean = 0;
constexpr DWORD kExitNotes = 1;
constexpr DWORD kExitBadInput = 2;
constexpr DWORD kExitProblems = 3;
constexpr DWORD kExitChanges = 4;

class PlannerTest : public e2e::ProductTest {
protected:
    std::string Path(const std::string& leaf) { return scratch_.Path(leaf); }
    std::string Write(const std::string& leaf, const std::string& bytes) {
        return scratch_.Write(leaf, bytes);
    }

    e2e::RunResult Plan(const std::string& treePath, const std::string& sitesPath) {
        return Run({treePath, sitesPath});
    }
    e2e::RunResult PlanTexts(const std::string& tree, const std::string& sites,
                             std::vector<std::string> options = {}) {
        std::vector<std::string> arguments{Write("tree.txt", tree), Write("sites.txt", sites)};
        arguments.insert(arguments.end(), options.begin(), options.end());
        return Run(arguments);
    }
    e2e::RunResult CompareTexts(const std::string& before, const std::string& after,
                                const std::string& sites) {
        return Run({"--compare", Write("old.txt", before), Write("new.txt", after),
                    Write("sites.txt", sites)});
    }
    e2e::RunResult Run(const std::vector<std::string>& arguments) {
        e2e::RunResult result =
            e2e::RunProgram(e2e::PerchplanPath(), arguments);
        EXPECT_TRUE(e2e::Finished(result));
        return result;
    }

    e2e::ScratchFolder scratch_{"perchplan_e2e"};
};

// ---- The planner and the program agree ------------------------------------------

// Per site and role, the servers a search can end on: one, the members of a
// random pick or of a balanced group's shares, or none.
using Winners = std::map<std::pair<std::string, std::string>, std::set<std::string>>;

// The plan's first section, lines "  SITE ROLE WINNER"; walks through a gap
// of the tree go to *uncertain instead.
Winners PlannedWinners(const std::string& out, Winners* uncertain = nullptr) {
    Winners winners;
    std::istringstream lines(out);
    std::string line;
    std::getline(lines, line);
    while (std::getline(lines, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) break;
        std::istringstream words(line);
        std::string site, role, rest;
        words >> site >> role >> std::ws;
        std::getline(words, rest);
        static const std::regex gap("(.*) \\(uncertain: tree incomplete below [^)]*\\)");
        std::smatch found;
        bool sure = !std::regex_match(rest, found, gap);
        if (!sure) rest = found[1].str();
        std::set<std::string>& servers =
            (sure || !uncertain ? winners : *uncertain)[{site, role}];
        static const std::regex randomPick("one of (.*) \\(random pick\\)");
        static const std::regex shares("(.*) of [0-9]+");
        if (std::regex_match(rest, found, randomPick)) {
            std::istringstream names(found[1].str());
            for (std::string name; std::getline(names >> std::ws, name, ',');) servers.insert(name);
        } else if (std::regex_match(rest, found, shares)) {
            std::istringstream names(found[1].str());
            for (std::string share; std::getline(names >> std::ws, share, ',');)
                servers.insert(share.substr(0, share.find(' ')));
        } else if (rest != "no server") {
            servers.insert(rest);
        }
    }
    return winners;
}

// The winner the program's own search reports (message 95; none with 147).
std::string SearchedWinner(const std::string& role) {
    const std::map<std::string, const char*> options = {
        {"Parent", "/nearest_parent"}, {"Quarantine", "/nearest_quarantine"},
        {"HPD", "/nearest_HPD"},       {"KPZ", "/nearest_KPZ"},
        {"WDR", "/nearest_WDR"},       {"Alerts", "/nearest_alerts"}};
    e2e::RunResult result = e2e::RunPerchman({options.at(role)});
    EXPECT_TRUE(e2e::Finished(result));
    auto found = e2e::MessageOccurrences(result.out, 95);
    return found.empty() ? "" : found[0][1];
}

// The servers' latencies from a site of the table, as a move there sets them
// (without changing this machine's addresses, which the choice never sees).
void TakeLatenciesOf(const std::string& table, const std::string& site) {
    std::istringstream lines(table);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream words(line);
        std::string name;
        words >> name;
        if (name != site) continue;
        for (std::string word; words >> word;) {
            size_t equals = word.find('=');
            std::string server = word.substr(0, equals), latency = word.substr(equals + 1);
            // The table says down for a server that is down anyway, too.
            ASSERT_TRUE(lab::SetBehaviour(server, "Down", latency == "down"));
            if (latency == "down") continue;
            ASSERT_TRUE(lab::SetBehaviour(server, "LatencyMs",
                                          static_cast<DWORD>(std::stoul(latency))));
        }
    }
}

std::string EachLine(const std::string& text, const std::regex& pattern, const char* replacement) {
    std::istringstream lines(text);
    std::string replaced;
    for (std::string line; std::getline(lines, line);)
        replaced += std::regex_replace(line, pattern, replacement) + "\n";
    return replaced;
}

// The parent's takeover waits for the product; the choice does not depend on
// the role, so the parent's lists are searched as the alerts role's. Jitter
// goes, so that the lab's timing cannot reorder what the table orders.
std::string ForComparison(const std::string& description) {
    static const std::regex parentList("^(list[ \\t]+\\S+[ \\t]+)Parent([ \\t])");
    static const std::regex jitter(" jitter=[0-9]+");
    return EachLine(EachLine(description, parentList, "$1Alerts$2"), jitter, "");
}

// The same for lists that a network has imported (an import file).
std::string ImportForComparison(const std::string& lists) {
    static const std::regex parentLine("^([ \\t]*\\S+[ \\t]+)Parent([ \\t])");
    return EachLine(lists, parentLine, "$1Alerts$2");
}

// A random tree of lists with marks and limits, seen from two sites. The
// latencies of one list are 20 ms apart at each site, and limits lie 10 ms
// from every latency, so that the timing of a busy machine keeps their order.
std::string GeneratedNetwork(unsigned seed) {
    std::mt19937 random(seed), reach(seed + 1000);
    auto pick = [&](unsigned n) { return static_cast<unsigned>(random() % n); };
    std::string servers, lists, siteLatencies[2];
    int named = 0;
    // The pieces one after the other (GCC warns wrongly on a literal + string).
    auto text = [](std::initializer_list<std::string> parts) {
        std::string joined;
        for (const std::string& part : parts) joined += part;
        return joined;
    };
    std::function<std::string(int)> listOfLevel = [&](int level) {
        unsigned count = 2 + pick(3);
        unsigned slots[2][4] = {{0, 1, 2, 3}, {0, 1, 2, 3}};
        for (auto& site : slots)
            for (unsigned i = 3; i > 0; --i) std::swap(site[i], site[pick(i + 1)]);
        std::string list;
        for (unsigned i = 0; i < count; ++i) {
            std::string name = text({"G", std::to_string(++named)});
            bool down = pick(8) == 0;
            servers += text({"server ", name, down ? " down timeout=20" : ""});
            if (pick(5) != 0) servers += text({" clients=", std::to_string(pick(50))});
            servers += "\n";
            // Now and then a server the other branch cannot reach (drawn apart,
            // so that the seeds keep the trees they were chosen for).
            int unreachableFrom = reach() % 4 == 0 ? static_cast<int>(reach() % 2) : -1;
            for (int site = 0; site < 2; ++site)
                siteLatencies[site] +=
                    text({" ", name, "=",
                          site == unreachableFrom ? std::string("down")
                                                  : std::to_string(5 + 20 * slots[site][i])});
            if (i > 0) list += ",>="[pick(3)];
            list += name;
            if (pick(3) == 0) list += text({"(", std::to_string(15 + 20 * pick(4)), ")"});
            if (!down && level < 3 && pick(2) == 0)
                lists += text({"list ", name, " Alerts ", std::to_string(level), " ",
                               listOfLevel(level + 1), "\n"});
        }
        return list;
    };
    std::string local = text({"list <local> Alerts 0 ", listOfLevel(1), "\n"});
    return text({"dword <local> ProductControl TimesToAverage 2\n", servers, local, lists,
                 "site EAST 192.0.2.31", siteLatencies[0], "\nsite WEST 198.51.100.31",
                 siteLatencies[1], "\n"});
}

TEST_F(PlannerTest, NamesTheWinnerOfTheProgramsOwnSearch) {
    struct Network {
        std::string name, description;
        std::string lists;  // an import file the lists come from, if any
    };
    std::vector<Network> networks;
    const std::string folder = std::string(PERCHMAN_SOURCE_DIR) + "\\lab\\networks\\";
    for (const char* stem : {"demo", "three-sites", "two-offices"}) {
        auto text = lab::ReadLocalFile(folder + stem + ".lab");
        ASSERT_TRUE(text) << stem;
        // A network may leave its lists to an import, as an administrator would.
        auto lists = lab::ReadLocalFile(folder + stem + "-lists.txt");
        networks.push_back({std::string(stem) + ".lab", *text, lists.value_or("")});
    }
    // Seeds whose networks between them have preferences that apply and that
    // do not, limits, balanced groups, random picks and a level where nothing
    // is acceptable.
    for (unsigned seed : {1u, 3u, 5u, 9u, 24u})
        networks.push_back({"generated, seed " + std::to_string(seed), GeneratedNetwork(seed), ""});
    // The export cannot read F's list: the walks through F are uncertain, the
    // others still agree.
    networks.push_back({"a failed server",
                        "server A latency=5 clients=3\nserver F latency=30\nserver B latency=9\n"
                        "list <local> Alerts 0 A,F\nlist A Alerts 1 B\n"
                        "fail F read RoamManagingAlertsLevel1\n"
                        "site EAST 192.0.2.31 A=5 F=30 B=9\n"
                        "site WEST 198.51.100.31 A=down F=30 B=9\n",
                        ""});

    int compared = 0, equal = 0, uncertainWalks = 0, unreachable = 0;
    for (const auto& [name, description, lists] : networks) {
        Load(ForComparison(description));
        if (!lists.empty()) {
            std::string imported = Write("lists.txt", ImportForComparison(lists));
            ASSERT_TRUE(e2e::Finished(e2e::RunPerchman({"/import", imported}))) << name;
        }
        std::string tree = Path("tree.txt");
        ASSERT_TRUE(e2e::Finished(e2e::RunPerchman({"/export", tree}))) << name;
        std::string table = lab::PlannerSiteTable();
        // Servers a site line of the description makes unreachable from there.
        for (size_t at = description.find("=down"); at != std::string::npos;
             at = description.find("=down", at + 1))
            ++unreachable;
        e2e::RunResult plan = Plan(tree, Write("sites.txt", table));
        Winners uncertain;
        Winners planned = PlannedWinners(plan.out, &uncertain);
        ASSERT_FALSE(planned.empty()) << name << "\n" << e2e::Describe(plan);
        uncertainWalks += static_cast<int>(uncertain.size());
        for (const auto& [place, servers] : planned) {
            TakeLatenciesOf(table, place.first);
            std::string searched = SearchedWinner(place.second);
            bool agrees = servers.empty() ? searched.empty() : servers.count(searched) > 0;
            ++compared;
            equal += agrees;
            EXPECT_TRUE(agrees) << name << ", " << place.first << ", " << place.second
                                << ": the search chose \"" << searched << "\"\n"
                                << plan.out;
        }
    }
    std::printf("[ agreement ] %u networks, %d searches, %d winners equal, %d walks uncertain, "
                "%d servers unreachable from a site\n",
                static_cast<unsigned>(networks.size()), compared, equal, uncertainWalks,
                unreachable);
    EXPECT_EQ(uncertainWalks, 1) << "the walk of WEST through F";
    EXPECT_GT(unreachable, 0);
}

// Machines of a site join a balanced group one by one: each takeover raises
// the new parent's published count, which the next search reads. The real
// searches spread as the planned shares say.
TEST_F(PlannerTest, ABalancedGroupSpreadsAsTheRealClientsJoinOneByOne) {
    const int machines = 9;
    Load("server A latency=5 clients=6\nserver B latency=9 clients=2\nserver C latency=7 "
         "clients=4\nlist <local> Alerts 0 A=B=C\n");
    e2e::RunResult plan = PlanTexts("<local> Parent 0 A=B=C\n",
                                    "SITE " + std::to_string(machines) +
                                        " A=5 B=9 C=7\nclients A=6 B=2 C=4\n");
    std::smatch shares;
    ASSERT_TRUE(std::regex_search(plan.out, shares, std::regex("SITE +Parent +(.*) of 9\r\n")))
        << plan.out;
    std::map<std::string, int> planned, joined;
    std::istringstream items(shares[1].str());
    for (std::string item; std::getline(items >> std::ws, item, ',');)
        planned[item.substr(0, item.find(' '))] = std::stoi(item.substr(item.find(' ') + 1));
    std::map<std::string, DWORD> counts = {{"A", 6}, {"B", 2}, {"C", 4}};
    for (int i = 0; i < machines; ++i) {
        std::string winner = SearchedWinner("Alerts");
        ASSERT_TRUE(counts.count(winner)) << winner;
        ++joined[winner];
        ASSERT_TRUE(lab::SetDword(winner, "ProductControl", "ClientCount", ++counts[winner]));
    }
    EXPECT_EQ(planned, joined) << plan.out;
    std::printf("[ agreement ] %d machines joined A=B=C as planned: %s\n", machines,
                shares[1].str().c_str());
}

// Machines of a site that start close together read the counts before the
// records of those that started just before them count: they pile onto the
// members that were lowest when they read. Six machines over A=B=C at 0, 0, 0.
TEST_F(PlannerTest, ASiteStartingWithinAWindowSpreadsAsItsMachinesSeeEachOther) {
    struct Case {
        const char* settings;
        const char* line;  // "" when the plan shows no such line
    };
    const Case cases[] = {
        {"", ""},
        {"StartWindowSeconds=60 RegistrationDelayMs=1000",
         "started within 60 s, each machine reading the counts 1000 ms before its own record "
         "counts: A 2, B 2, C 2; spread of the counts 0 (one by one: 0)"},
        // A start every second, each record counting three seconds after its read.
        {"StartWindowSeconds=6",
         "started within 6 s, each machine reading the counts 3000 ms before its own record "
         "counts: A 3, B 3; spread of the counts 3 (one by one: 0)"},
        {"StartWindowSeconds=6 RegistrationDelayMs=2000",
         "started within 6 s, each machine reading the counts 2000 ms before its own record "
         "counts: A 2, B 2, C 2; spread of the counts 0 (one by one: 0)"},
        {"StartWindowSeconds=1 RegistrationDelayMs=5000",
         "started within 1 s, each machine reading the counts 5000 ms before its own record "
         "counts: A 6; spread of the counts 6 (one by one: 0)"},
    };
    for (const Case& c : cases) {
        e2e::RunResult plan = PlanTexts("<local> Parent 0 A=B=C\n",
                                        std::string("SITE 6 A=5 B=9 C=7\nclients A=0 B=0 C=0\n") +
                                            c.settings + "\n");
        EXPECT_NE(plan.out.find("=> A 2, B 2, C 2 of 6: each machine"), std::string::npos)
            << plan.out;
        size_t at = plan.out.find("started within");
        std::string line = at == std::string::npos
                               ? std::string()
                               : plan.out.substr(at, plan.out.find("\r\n", at) - at);
        EXPECT_EQ(line, c.line) << c.settings;
    }
}

// ---- The walk explained, and the load ------------------------------------------

// One row of a table of figures: the numbers after its leading words.
std::vector<double> Row(const std::string& out, const std::string& words, size_t count) {
    std::string pattern = "\r\n  " + words;
    for (size_t i = 0; i < count; ++i) pattern += " +([0-9.]+)";
    std::smatch figures;
    std::vector<double> row;
    if (!std::regex_search(out, figures, std::regex(pattern + "\r\n"))) return row;
    for (size_t i = 1; i <= count; ++i) row.push_back(std::stod(figures[i]));
    return row;
}

// At EAST the group A=B is balanced by its client counts; at WEST nothing is
// within its limit while the last server answers, so the engine searches
// again and again.
TEST_F(PlannerTest, ExplainsTheWalkAndCountsTheProbesEachServerReceives) {
    e2e::RunResult result = PlanTexts(
        "<local> Parent 0 C(40),A(40)=B(40)\n",
        "EAST 10 C=50 A=10 B=20\nWEST 6 C=60 A=70 B=80\nclients A=1 B=2\n"
        "TimesToAverage=3 FindNearestParentIntervalInMinutes=30\n"
        "CheckParentIntervalInMinutes=60 CheckForNewParentIntervalInSeconds=60\n"
        "WithoutAddressWatchingPercent=50\n");
    const std::string out = result.out;
    for (const std::string& line : {
             std::string("    C       50 ms  limit 40 ms    not acceptable: over its limit"),
             std::string("    A       10 ms  limit 40 ms    fastest so far, 1 client"),
             "    " + e2e::FormatMessageText(90, "A", 10),
             std::string("    A publishes no list for level 2, so its \"=\" group A=B is "
                         "balanced: the fewest clients win"),
             std::string("    one search now: A"),
             std::string("  => A 6, B 4 of 10: each machine that joins raises its parent's "
                         "client count"),
             std::string("    nothing acceptable at level 1: no server for this role"),
             std::string("  => no server; the engine searches again every 60 s until one "
                         "answers")})
        EXPECT_NE(out.find(e2e::Crlf(line)), std::string::npos) << line << "\n" << out;

    // Per hour: half of EAST's 10 machines search every 30 min (10 searches),
    // all 6 of WEST retry every minute (360); each search takes 3 samples of
    // every server and one warm-up of C; EAST reads the group's client counts;
    // its machines check their parents (6 on A, 4 on B) once an hour.
    const struct {
        const char* server;
        double searches, clientCounts, parentChecks;
    } expected[] = {{"C", 10 * 4 + 360 * 4, 0, 0},
                    {"A", 10 * 3 + 360 * 3, 10, 6},
                    {"B", 10 * 3 + 360 * 3, 10, 4}};
    for (const auto& server : expected) {
        std::vector<double> row = Row(out, server.server, 4);
        ASSERT_EQ(row.size(), 4u) << server.server << "\n" << out;
        EXPECT_EQ(row[0], server.searches) << server.server;
        EXPECT_EQ(row[1], server.clientCounts) << server.server;
        EXPECT_EQ(row[2], server.parentChecks) << server.server;
    }
}

// The warm-up probe comes once per search, before the first level, not at
// every level; machines that watch their addresses search after a move at
// once, the others at their next period.
TEST_F(PlannerTest, CountsOneWarmUpPerSearchAndTheFirstMinuteAfterAStartOrAMove) {
    e2e::RunResult result = PlanTexts(
        "<local> Parent 0 S\nS Parent 1 T,U\n",
        "ONE 2 S=5 T=6 U=17\nTimesToAverage=3 WithoutAddressWatchingPercent=50\n");
    // An hour: one of the two machines searches once (3 samples of each
    // server, one warm-up of S); at start both search, after a move the one
    // that watches its addresses.
    const struct {
        const char* server;
        double hourly, atStart, afterMove;
    } expected[] = {{"S", 4, 8, 4}, {"T", 3, 6, 3}, {"U", 3, 6, 3}};
    for (const auto& server : expected) {
        std::vector<double> hourly = Row(result.out, server.server, 4);
        ASSERT_EQ(hourly.size(), 4u) << server.server << "\n" << result.out;
        EXPECT_EQ(hourly[0], server.hourly) << server.server;
        std::vector<double> burst = Row(result.out, std::string("ONE +") + server.server, 2);
        ASSERT_EQ(burst.size(), 2u) << server.server << "\n" << result.out;
        EXPECT_EQ(burst[0], server.atStart) << server.server;
        EXPECT_EQ(burst[1], server.afterMove) << server.server;
    }
    // Both machines check their parent T every 120 minutes.
    EXPECT_EQ(Row(result.out, "T", 4).at(2), 1.0) << result.out;
}

// ---- The check ------------------------------------------------------------------

TEST_F(PlannerTest, EachFindingHasACaseThatRaisesItAndOneThatDoesNot) {
    const std::string sites = "EAST A=10 B=20 C=30 D=40\nWEST A=10 B=20 C=30 D=40\n"
                              "clients A=1 B=2 C=3 D=4\n";
    const std::string slowB = "EAST A=10 B=99 C=30\nWEST A=10 B=99 C=30\n";
    const std::string name128(128, 'N'), name127(127, 'N');
    auto names = [](char letter, int count) {  // names of 47 letters joined by ","
        std::string list;
        for (int i = 0; i < count; ++i) list += (i ? "," : "") + std::string(47, letter);
        return list;
    };
    const DWORD note = kExitNotes, problem = kExitProblems;
    struct Case {
        const char* finding;
        std::string tree, sites, expected;
        bool raised;
        DWORD exitCode = kExitClean;  // when raised
    } cases[] = {
        {"no server", "<local> Alerts 0 A\n", "EAST A=down\nWEST A=5\n",
         "problem EAST Alerts: no server", true, problem},
        {"no server", "<local> Alerts 0 A\n", "EAST A=7\nWEST A=5\n", "no server", false},
        {"retry for ever", "<local> Parent 0 A(5),B(5)\n", "EAST A=10 B=20\n",
         "problem EAST Parent: the search finds nothing while its last probe answers, so every "
         "machine searches again every 30 s for ever: 1800 probes per hour",
         true, problem},
        {"retry for ever", "<local> Alerts 0 A(5),B(5)\n", "EAST A=10 B=20\n", "for ever",
         false},
        {"ends above", "<local> Alerts 0 A\nA Alerts 1 B\n", "EAST A=10 B=down\nWEST A=10 B=5\n",
         "note    EAST Alerts: the walk ends on \"A\", which publishes a list for level 2", true,
         note},
        {"ends above", "<local> Alerts 0 A\nA Alerts 1 B\n", "EAST A=10 B=3\nWEST A=10 B=5\n",
         "the walk ends on", false},
        {"close call", "<local> Alerts 0 A,B\n", "EAST A=10 B=14\n",
         "EAST Alerts: level 1: a close call, \"A\" 10 ms against \"B\" 14 ms (4 ms apart", true,
         note},
        {"close call", "<local> Alerts 0 A,B\n", "EAST A=10 B=15\n", "close call", false},
        {"close call", "<local> Alerts 0 A(12),B\n", "EAST A=10 B=30\n",
         "a close call, \"A\" 10 ms against its limit 12 ms (2 ms apart", true, note},
        {"not named", "<local> Alerts 0 A,E\n", sites,
         "note    EAST: the site's row does not name \"E\": unknown, planned as down", true, note},
        {"not named", "<local> Alerts 0 A,D\n", sites, "does not name", false},
        {"tree incomplete", "<local> Alerts 0 A\n  # A Alerts 1 # lapso 3 ms, error 3e9\n",
         sites, "problem line 2: tree incomplete below A (error 3e9)", true, problem},
        {"tree incomplete", "<local> Alerts 0 A\n  # A Alerts 1 # lapso 3 ms resultado 0\n",
         sites, "incomplete", false},
        {"no level-0 list", "<local> Alerts 0 A\n", sites + "RoamServer=1 RoamClient=0\n",
         "<local> Primary 0: the tree holds no level-0 list for Primary, which roams "
         "(RoamServer): not planned; an export never writes the Primary lists",
         true, note},
        {"no level-0 list", "<local> Parent 0 A\n", sites, "no level-0 list", false},
        {"unreachable", "<local> Alerts 0 A,B\n", "EAST A=10 B=down\nWEST A=10 B=down\n",
         "<local> Alerts 0: no site that reads this list can reach \"B\"", true, note},
        {"unreachable", "<local> Alerts 0 A,B\n", "EAST A=10 B=down\nWEST A=10 B=5\n",
         "can reach", false},
        {"long name", "<local> Alerts 0 A," + name128 + "\n", sites,
         "is never chosen: a name of 128 characters (a server name has at most 127)", true,
         problem},
        {"long name", "<local> Alerts 0 A," + name127 + "\n", sites, "is never chosen", false},
        {"name no computer has", "<local> Alerts 0 A,B%\n", sites,
         "\"B%\" is never chosen: a computer name cannot hold the character \"%\"", true, note},
        {"long list", "<local> Alerts 0 " + names('L', 21) + "," + std::string(16, 'M') + "\n",
         sites, "line 1: a list of 1024 characters: a list holds at most 1023", true, problem},
        {"long list", "<local> Alerts 0 " + names('L', 21) + "," + std::string(15, 'M') + "\n",
         sites, "a list holds at most 1023", false},
        {"long reply", "<local> Alerts 0 A\nA Alerts 1 " + names('L', 20) + "," +
                           std::string(20, 'M') + "\n",
         sites, "A Alerts 1: a list of 980 characters: a server's reply carries at most 979",
         true, problem},
        {"long reply", "<local> Alerts 0 A\nA Alerts 1 " + names('L', 20) + "," +
                           std::string(19, 'M') + "\n",
         sites, "reply carries", false},
        {"import refuses", "<local> Alerts 0 A,,B\n", sites, "line 1: the import refuses it",
         true, problem},
        {"import refuses", "<local> Alerts 0 A , B\n", sites, "the import refuses", false},
        {"group not balanced", "<local> Alerts 0 A=B\nB Alerts 1 C\n", sites,
         "<local> Alerts 0: the \"=\" group A=B is decided by speed alone: B publishes a list "
         "for level 1",
         true, note},
        {"group not balanced", "<local> Alerts 0 A=B,C\nC Alerts 1 D\n", sites,
         "is decided by speed alone", false},
        {"preference never applies", "<local> Alerts 0 B(15)>A\n", sites,
         "the \">\" after \"B\" never applies", true, note},
        {"preference never applies", "<local> Alerts 0 B(25)>A\n", sites, "never applies",
         false},
        // A plain preference that holds at every site is what it was written for.
        {"preference always applies", "<local> Alerts 0 B>A\n", sites, "applies", false},
        {"never chosen", "<local> Alerts 0 A,B,C\n", slowB,
         "no site ever chooses \"B\", not even when one other server fails", true, note},
        {"never chosen", "<local> Alerts 0 A,B\n", "EAST A=10 B=20\nWEST A=10 B=5\n",
         "no site ever chooses", false},
        // Chosen when another fails: a backup, not a finding.
        {"never chosen", "<local> Alerts 0 A,B\n", "EAST A=10 B=20\nWEST A=10 B=30\n",
         "no site ever chooses", false},
        {"never read", "<local> Alerts 0 A,B\nA Alerts 2 C\n", sites,
         "A Alerts 2: no list that the walk reads at level 1 names \"A\"", true, note},
        {"never read", "<local> Alerts 0 A,B\nA Alerts 1 C\n", sites, "never reads", false},
    };
    for (const Case& c : cases) {
        e2e::RunResult result = PlanTexts(c.tree, c.sites);
        bool found = result.out.find(c.expected) != std::string::npos;
        EXPECT_EQ(found, c.raised) << c.finding << ": " << c.expected << "\n" << result.out;
        if (c.raised) {
            EXPECT_EQ(result.exitCode, c.exitCode) << c.finding << "\n" << result.out;
        }
    }
}

// A limit is a close call only where crossing it, from either side, would
// change where the machines end up.
TEST_F(PlannerTest, ACloseCallAtALimitIsOneWhoseCrossingChangesTheWinner) {
    const struct {
        const char* name;
        const char* tree;
        const char* sites;
        const char* margin;  // "" for none
    } cases[] = {
        {"a preferred server just over its limit", "<local> Alerts 0 X(30)>Y\n",
         "EAST X=32 Y=40\n", "\"X\" 32 ms against its limit 30 ms (2 ms apart"},
        {"a preferred server just within it", "<local> Alerts 0 X(30)>Y\n", "EAST X=27 Y=40\n",
         "\"X\" 27 ms against its limit 30 ms (3 ms apart"},
        // Without X's preference Z would still lose to Y.
        {"a preference that decides nothing", "<local> Alerts 0 Y,X(30)>Z\n",
         "EAST Y=10 X=28 Z=40\n", ""},
        {"a slower server over its limit", "<local> Alerts 0 X(30),Y\n", "EAST X=32 Y=10\n", ""},
        // Over its limit A would leave the group to B alone.
        {"a member of a balanced group", "<local> Alerts 0 A(30)=B\n",
         "EAST A=28 B=10\nclients A=0 B=5\n", "\"A\" 28 ms against its limit 30 ms (2 ms apart"},
    };
    for (const auto& c : cases) {
        e2e::RunResult result = PlanTexts(c.tree, c.sites);
        bool limitCall = result.out.find("against its limit") != std::string::npos;
        EXPECT_EQ(limitCall, *c.margin != '\0') << c.name << "\n" << result.out;
        if (*c.margin) {
            EXPECT_NE(result.out.find(std::string("EAST Alerts: level 1: a close call, ") + c.margin),
                      std::string::npos)
                << c.name << "\n" << result.out;
        }
    }
}

// The exit status tells a clean tree, notes only, and problems apart; a
// server chosen when another fails is said, but is no finding.
TEST_F(PlannerTest, ExitStatusSaysWhetherTheCheckFoundNothingNotesOrProblems) {
    e2e::RunResult clean = PlanTexts("<local> Parent 0 A>B,C\n",
                                     "EAST A=10 B=20 C=40\nWEST A=down B=5 C=40\n");
    EXPECT_NE(clean.out.find("  nothing found\r\n  backup <local> Parent 0: \"C\" is chosen only "
                             "when another server fails: at WEST when \"B\" fails\r\n"),
              std::string::npos)
        << clean.out;
    EXPECT_EQ(clean.exitCode, kExitClean);
    e2e::RunResult notes = PlanTexts("<local> Parent 0 A,B\n", "EAST A=10 B=12\n");
    EXPECT_NE(notes.out.find("  0 problems, 1 note\r\n"), std::string::npos) << notes.out;
    EXPECT_EQ(notes.exitCode, kExitNotes);
    e2e::RunResult problems = PlanTexts("<local> Parent 0 A,B\n", "EAST A=10 B=12\nWEST\n");
    EXPECT_NE(problems.out.find("  1 problem, 2 notes\r\n"), std::string::npos) << problems.out;
    EXPECT_EQ(problems.exitCode, kExitProblems);
}

// The import keeps an earlier valid value over a line it refuses; a tree the
// export could not finish marks the walks through the gap.
TEST_F(PlannerTest, ReadsTheTreeAsTheImportSetsItAndMarksItsGaps) {
    e2e::RunResult refused =
        PlanTexts("<local> Alerts 0 A\n<local> Alerts 0 B,,A\n", "EAST A=10 B=5\n");
    EXPECT_NE(refused.out.find("  level 1, the list of <local>: A\r\n"), std::string::npos)
        << refused.out;
    EXPECT_NE(refused.out.find("line 2: the import refuses it (names of 1 to 47 characters, no "
                               "empty name, no separator at the end); the value of line 1 "
                               "stands"),
              std::string::npos)
        << refused.out;
    e2e::RunResult gap = PlanTexts("<local> Alerts 0 A,B\n  # A Alerts 1 # lapso 0 ms, error 3e9\n"
                                   "  B Alerts 1 C\n",
                                   "EAST A=10 B=20 C=5\nWEST A=down B=20 C=5\n");
    for (const char* line :
         {"  EAST             Alerts     A (uncertain: tree incomplete below A)\r\n",
          "  WEST             Alerts     C\r\n",
          "    the export could not read the list A publishes for level 2 (error 3e9): the walk "
          "below it is uncertain, planned as if it published none\r\n"})
        EXPECT_NE(gap.out.find(line), std::string::npos) << line << "\n" << gap.out;
    EXPECT_EQ(gap.out.find("tree incomplete below A (error"), gap.out.rfind("tree incomplete below A (error"))
        << "reported once\n" << gap.out;
}

// A random pick reads a clock that a plan fixes: the same files give the same bytes.
TEST_F(PlannerTest, TwoPlansOfARandomPickPrintTheSameBytes) {
    e2e::RunResult first = PlanTexts("<local> Alerts 0 A=B=C\n", "EAST A=10 B=10 C=12\n");
    Sleep(1100);  // the calendar's next second
    e2e::RunResult second = PlanTexts("<local> Alerts 0 A=B=C\n", "EAST A=10 B=10 C=12\n");
    EXPECT_NE(first.out.find("EAST             Alerts     one of A, B, C (random pick)"),
              std::string::npos)
        << first.out;
    EXPECT_EQ(first.out, second.out);
}

// ---- Compare and failures ---------------------------------------------------------

// The lines a whole tree names for the roles without a list, as an export writes them.
constexpr char kExportedEmptyRoles[] =
    "# <local> Quarantine 0\n# <local> Alerts 0\n# <local> HPD 0\n# <local> WDR 0\n"
    "# <local> KPZ 0\n";

// A compare's first line says how NEW was read, and why.
std::string ReadAsImport(const char* firstMissingRole) {
    return std::string("NEW read as an import file over OLD (it does not name <local>'s level-0 "
                       "list of ") +
           firstMissingRole + ")";
}
constexpr char kReadAsWholeTree[] =
    "NEW read as a whole tree (it names <local>'s level-0 list of every role)";

TEST_F(PlannerTest, ComparesATreeWithAnImportOverItOrWithAWholeNewTree) {
    struct Case {
        const char* name;
        std::string before, after, sites;
        std::string summary;
        DWORD exitCode;
        std::string readAs = ReadAsImport("Quarantine");
    } cases[] = {
        {"an empty import", "<local> Parent 0 A\n", "", "EAST 10 A=10\n", "nothing changes",
         kExitClean, ReadAsImport("Parent")},
        {"a value set", "<local> Parent 0 A\n", "<local> Parent 0 B\n", "EAST 10 A=10 B=20\n",
         "1 site changes Parent, 10 machines move; B +10, A -10; no new problem", kExitChanges},
        {"a value deleted", "<local> Parent 0 A\nA Parent 1 C\n", "A Parent 1 #\n",
         "EAST 10 A=10 C=5\nWEST 3 A=10 C=5\n",
         "2 sites change Parent, 13 machines move; A +13, C -13; no new problem", kExitChanges,
         ReadAsImport("Parent")},
        {"a refused line sets nothing", "<local> Parent 0 A\n", "<local> Parent 0 B,,A\n",
         "EAST 10 A=10 B=5\n", "no machine moves; 1 new problem", kExitProblems},
        {"a balanced group grows", "<local> Parent 0 A=B\n", "<local> Parent 0 A=B=C\n",
         "EAST 10 A=1 B=1 C=1\nclients A=0 B=0 C=0\n",
         "1 site changes Parent, 3 machines move; C +3, A -1, B -2; no new problem",
         kExitChanges},
        {"a site left without a server", "<local> Parent 0 A\n", "<local> Parent 0 D\n",
         "EAST 10 A=10 D=down\n",
         "1 site changes Parent, 10 machines move; no server +10, A -10; 1 new problem",
         kExitProblems},
        {"a problem solved", "<local> Parent 0 D\n", "<local> Parent 0 A\n",
         "EAST 10 A=10 D=down\n",
         "1 site changes Parent, 10 machines move; A +10, no server -10; no new problem, "
         "1 problem gone",
         kExitChanges},
        // A whole tree replaces the old one: A's list is gone with it. The same
        // lines as an import over the old tree delete nothing.
        {"a whole tree", "<local> Parent 0 A\nA Parent 1 C\n",
         std::string("<local> Parent 0 A\n") + kExportedEmptyRoles, "EAST 10 A=10 C=5\n",
         "1 site changes Parent, 10 machines move; A +10, C -10; no new problem", kExitChanges,
         kReadAsWholeTree},
        {"not quite a whole tree", "<local> Parent 0 A\nA Parent 1 C\n",
         "<local> Parent 0 A\n# <local> Quarantine 0\n", "EAST 10 A=10 C=5\n",
         "nothing changes", kExitClean, ReadAsImport("HPD")},
    };
    for (const Case& c : cases) {
        e2e::RunResult result = CompareTexts(c.before, c.after, c.sites);
        EXPECT_EQ(result.out.rfind("What changes: " + c.readAs + "\r\n  " + c.summary + "\r\n",
                                   0),
                  0u)
            << c.name << "\n" << result.out << result.err;
        EXPECT_EQ(result.exitCode, c.exitCode) << c.name;
    }
}

// WEST reaches A=B before and after, so its 4 machines stay (A 2, B 2);
// EAST's 10 search again over A=B=C as the counts stand with WEST's: A 2,
// B 2, C 0 fill to A 5, B 5, C 4.
TEST_F(PlannerTest, ShowsWhatMovesAndWhatEachServerGainsAndLoses) {
    e2e::RunResult result = CompareTexts("<local> Parent 0 A=B\n", "<local> Parent 0 A=B=C\n",
                                         "EAST 10 A=1 B=1 C=1\nWEST 4 A=1 B=1 C=down\n"
                                         "clients A=0 B=0 C=0\n");
    for (const char* line :
         {"  EAST             Parent     4: A 5, B 5 of 10 -> C 4, A 3, B 3 of 10\r\n",
          "  C                        Parent          +4  (gains 4, loses 0)\r\n",
          "  B                        Parent          -2  (gains 0, loses 2)\r\n"})
        EXPECT_NE(result.out.find(line), std::string::npos) << line << "\n" << result.out;
    EXPECT_EQ(result.out.find("  WEST "), std::string::npos) << "WEST does not move\n" << result.out;
}

// A server down everywhere is a compare against the plan without it; each
// server failed in turn shows what it carries, where that goes, and who is
// left without a server.
TEST_F(PlannerTest, PlansAFailureAndEachServerFailedInTurn) {
    const std::string tree = "<local> Parent 0 A,B\n";
    const std::string sites = "EAST 5 A=10 B=down\nWEST 7 A=10 B=20\n";
    e2e::RunResult down = PlanTexts(tree, sites, {"--down", "a"});
    EXPECT_EQ(down.out.rfind("What changes\r\n  2 sites change Parent, 12 machines move; B +7, "
                             "no server +5, A -12; 1 new problem\r\n",
                             0),
              0u)
        << down.out;
    EXPECT_EQ(down.exitCode, kExitProblems);

    e2e::RunResult failures = PlanTexts(tree, sites, {"--failures"});
    for (const char* line : {"  A carries EAST Parent 5, WEST Parent 7\r\n",
                             "    problem: EAST Parent is left without a server\r\n",
                             "  B carries no machine\r\n    when it fails: nothing moves\r\n",
                             "  B                        Parent           7  when A fails\r\n"})
        EXPECT_NE(failures.out.find(line), std::string::npos) << line << "\n" << failures.out;
    EXPECT_EQ(failures.exitCode, kExitProblems);
    e2e::RunResult covered = PlanTexts(tree, "EAST 5 A=10 B=12\n", {"--failures"});
    EXPECT_EQ(covered.exitCode, kExitClean) << covered.out;

    for (const char* bad : {"A,", "A,Z"}) {
        e2e::RunResult result = PlanTexts(tree, sites, {"--down", bad});
        EXPECT_EQ(result.exitCode, kExitBadInput) << bad;
        EXPECT_EQ(result.out, "") << bad;
        EXPECT_EQ(result.err.rfind(std::string("perchplan: --down ") + bad + ": ", 0), 0u)
            << result.err;
    }
}

// Worked out by hand. WEST reaches the balanced group A=B through HUB1, EAST
// reaches C through HUB2; A and B publish 50 and 100 clients, so WEST's 100
// machines fill them to 125 each (A 75, B 25). A machine moves only when its
// walk changes, onto the counts as everyone else leaves them, and neither the
// answer nor its bytes depend on the order of the site rows.
TEST_F(PlannerTest, OnlyMachinesWhoseWalkChangesMoveWhateverTheOrderOfTheSites) {
    const std::string tree = "<local> Parent 0 HUB1,HUB2\nHUB1 Parent 1 A=B\nHUB2 Parent 1 C\n";
    const std::string west = "WEST 100 HUB1=5 A=3 B=4 HUB2=20 C=30\n";
    const std::string east = "EAST 80 HUB2=5 C=3 HUB1=20 A=30 B=30\n";
    const std::string clients = "clients A=50 B=100 C=10\n";
    struct Case {
        const char* name;
        std::vector<std::string> rows;  // run in this order and reversed
        std::vector<std::string> options;
        std::string change;  // NEW of a compare, none for a plan with options
        std::vector<std::string> lines;
        DWORD exitCode;
    } cases[] = {
        // WEST's walk does not meet HUB2: its machines stay; EAST's 80 fill
        // A and B from 125 each.
        {"HUB2 down", {west, east}, {"--down", "HUB2"}, "",
         {"What changes\r\n  1 site changes Parent, 80 machines move; A +40, B +40, C -80; no new "
          "problem\r\n",
          "  EAST             Parent     80: C -> A 40, B 40 of 80\r\n"},
         kExitChanges},
        // WEST's 30 stay on A (80, B 100); NORTH's 60 and SOUTH's 30 fill A
        // and B together to 135 each (A +55, B +35), each site in proportion:
        // NORTH 36.7 and 23.3, rounded to 37 and 23.
        {"two sites search together",
         {"WEST 30 HUB1=5 A=3 B=4 HUB2=20 C=30\n", "NORTH 60 HUB2=5 C=3 HUB1=20 A=30 B=30\n",
          "SOUTH 30 HUB2=6 C=4 HUB1=21 A=31 B=31\n"},
         {"--down", "HUB2"}, "",
         {"  2 sites change Parent, 90 machines move; A +55, B +35, C -90; no new problem\r\n",
          "  NORTH            Parent     60: C -> A 37, B 23 of 60\r\n"
          "  SOUTH            Parent     30: C -> A 18, B 12 of 30\r\n"},
         kExitChanges},
        // The same as a change of EAST's list instead of a failure.
        {"an import sends EAST to WEST's group", {west, east}, {}, "HUB2 Parent 1 A=B\n",
         {"What changes: " + ReadAsImport("Parent") +
              "\r\n  1 site changes Parent, 80 machines move; A +40, B +40, C -80; no new "
              "problem\r\n",
          "  EAST             Parent     80: C -> A 40, B 40 of 80\r\n"},
         kExitChanges},
        // Servers in the tree's order; each server's coverage is its largest
        // single failure (A takes 25 when B fails, 40 when HUB2 does).
        {"each server failed in turn", {west, east}, {"--failures"}, "",
         {"  HUB1 carries WEST Parent 100\r\n"
          "    when it fails: 1 site changes Parent, 100 machines move; C +100, B -25, A -75\r\n"
          "  HUB2 carries EAST Parent 80\r\n"
          "    when it fails: 1 site changes Parent, 80 machines move; A +40, B +40, C -80\r\n"
          "  A carries WEST Parent 75\r\n"
          "    when it fails: 1 site changes Parent, 75 machines move; B +75, A -75\r\n"
          "  B carries WEST Parent 25\r\n"
          "    when it fails: 1 site changes Parent, 25 machines move; A +25, B -25\r\n"
          "  C carries EAST Parent 80\r\n"
          "    when it fails: 1 site changes Parent, 80 machines move; HUB2 +80, C -80\r\n",
          "  C                        Parent         100  when HUB1 fails\r\n"
          "  HUB2                     Parent          80  when C fails\r\n"
          "  B                        Parent          75  when A fails\r\n"
          "  A                        Parent          40  when HUB2 fails\r\n"},
         kExitClean},
    };
    for (const Case& c : cases) {
        std::string outs[2];
        for (int reversed = 0; reversed < 2; ++reversed) {
            std::string sites;
            for (size_t i = 0; i < c.rows.size(); ++i)
                sites += c.rows[reversed ? c.rows.size() - 1 - i : i];
            e2e::RunResult result = c.change.empty()
                                        ? PlanTexts(tree, sites + clients, c.options)
                                        : CompareTexts(tree, c.change, sites + clients);
            for (const std::string& line : c.lines)
                EXPECT_NE(result.out.find(line), std::string::npos)
                    << c.name << (reversed ? ", rows reversed" : "") << ": " << line << "\n"
                    << result.out;
            EXPECT_EQ(result.exitCode, c.exitCode) << c.name;
            outs[reversed] = result.out;
        }
        EXPECT_EQ(outs[0], outs[1]) << c.name << ": the order of the rows changed the bytes";
    }
}

// A compare's predicted moves come true: the search at each site, before and
// after the import of the change, ends where the compare says.
TEST_F(PlannerTest, TheMovesACompareForeseesComeTrueAfterTheImport) {
    Load("dword <local> ProductControl TimesToAverage 2\n"
         "server A latency=5\nserver B latency=30\nserver C latency=12\nserver D latency=8\n"
         "list <local> Alerts 0 A,B\nlist A Alerts 1 D\n"
         "site EAST 192.0.2.31 A=5 B=30 C=12 D=8\n"
         "site WEST 198.51.100.31 A=down B=30 C=12 D=8\n"
         "site NORTH 203.0.113.31 A=down B=10 C=40 D=8\n");
    std::string old = Path("old.txt");
    ASSERT_TRUE(e2e::Finished(e2e::RunPerchman({"/export", old})));
    std::string table = lab::PlannerSiteTable();
    // A new server first in the level-0 list, A's list deleted, and a line
    // the import refuses, which sets nothing.
    std::string change = Write("change.txt", "<local> Alerts 0 C,A,B\nA Alerts 1 #\n"
                                             "B Alerts 1 X,,Y\n");
    e2e::RunResult compare = Run({"--compare", old, change, Write("sites.txt", table)});
    EXPECT_EQ(compare.exitCode, kExitProblems) << "the refused line is a new problem";
    std::map<std::string, std::pair<std::string, std::string>> moves;  // site: before, after
    static const std::regex move("  (\\S+) +Alerts +[0-9]+: (\\S+) -> (\\S+)\r");
    std::istringstream lines(compare.out);
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (std::regex_match(line, m, move)) moves[m[1]] = {m[2], m[3]};
    }
    const std::map<std::string, std::pair<std::string, std::string>> expected = {
        {"EAST", {"D", "A"}}, {"WEST", {"B", "C"}}};
    EXPECT_EQ(moves, expected) << compare.out;

    std::map<std::string, std::string> before, after;
    for (const char* site : {"EAST", "WEST", "NORTH"}) {
        TakeLatenciesOf(table, site);
        before[site] = SearchedWinner("Alerts");
    }
    // The import runs where every server answers, as an administrator's would.
    TakeLatenciesOf(table, "EAST");
    ASSERT_TRUE(e2e::Finished(e2e::RunPerchman({"/import", change})));
    int cameTrue = 0;
    for (const char* site : {"EAST", "WEST", "NORTH"}) {
        TakeLatenciesOf(table, site);
        after[site] = SearchedWinner("Alerts");
        auto found = moves.find(site);
        std::pair<std::string, std::string> seen{before[site], after[site]};
        if (found == moves.end()) {
            EXPECT_EQ(seen.first, seen.second) << site << " was not to move";
        } else {
            EXPECT_EQ(seen, found->second) << site;
            cameTrue += seen == found->second;
        }
    }
    std::printf("[ agreement ] %d of %u predicted moves came true after the import; "
                "NORTH stayed on %s as planned\n",
                cameTrue, static_cast<unsigned>(moves.size()), after["NORTH"].c_str());
}

// ---- Output for scripts ---------------------------------------------------------

// A record as a script reads it: field name to value, numbers as their text.
using Record = std::map<std::string, std::string>;

// The csv: a header, then one record per line; fields in double quotes may
// hold commas and doubled quotes. Empty fields are left out.
std::vector<Record> ReadCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (quoted) {
            if (c != '"') rows.back().back() += c;
            else if (i + 1 < text.size() && text[i + 1] == '"') rows.back().back() += text[++i];
            else quoted = false;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            rows.back().emplace_back();
        } else if (c == '\n') {
            rows.emplace_back(1);
        } else if (c != '\r') {
            rows.back().back() += c;
        }
    }
    EXPECT_FALSE(quoted) << "an unclosed quote";
    std::vector<Record> records;
    for (size_t r = 1; r < rows.size(); ++r) {
        if (rows[r].size() == 1 && rows[r][0].empty()) continue;
        EXPECT_EQ(rows[r].size(), rows[0].size()) << "line " << r + 1;
        Record record;
        for (size_t f = 0; f < rows[r].size() && f < rows[0].size(); ++f)
            if (!rows[r][f].empty()) record[rows[0][f]] = rows[r][f];
        records.push_back(record);
    }
    return records;
}

// A json reader for what the records are: an object holding "records", an
// array of flat objects of strings and numbers. Anything else, or any text
// after the document, fails the test.
class JsonReader {
public:
    explicit JsonReader(const std::string& text) : text_(text) {}
    std::vector<Record> Records() {
        std::vector<Record> records;
        Expect('{');
        EXPECT_EQ(String(), "records");
        Expect(':');
        Expect('[');
        if (!Take(']')) {
            do records.push_back(Object());
            while (Take(','));
            Expect(']');
        }
        Expect('}');
        Blanks();
        EXPECT_EQ(at_, text_.size()) << "text after the document";
        return records;
    }

private:
    Record Object() {
        Record record;
        Expect('{');
        do {
            std::string name = String();
            Expect(':');
            Blanks();
            record[name] = Peek() == '"' ? String() : Number();
        } while (Take(','));
        Expect('}');
        return record;
    }
    std::string String() {
        Expect('"');
        std::string value;
        while (at_ < text_.size() && text_[at_] != '"') {
            char c = text_[at_++];
            if (c == '\\' && at_ < text_.size()) {
                char escaped = text_[at_++];
                if (escaped == 'u') {
                    value += static_cast<char>(std::stoi(text_.substr(at_, 4), nullptr, 16));
                    at_ += 4;
                } else {
                    value += escaped;
                }
            } else {
                EXPECT_GE(static_cast<unsigned char>(c), 0x20u) << "a raw control character";
                value += c;
            }
        }
        Expect('"');
        return value;
    }
    std::string Number() {
        size_t start = at_;
        while (at_ < text_.size() && std::strchr("-+.0123456789eE", text_[at_])) ++at_;
        EXPECT_GT(at_, start) << "a value that is neither a string nor a number at " << start;
        return text_.substr(start, at_ - start);
    }
    void Blanks() {
        while (at_ < text_.size() && std::strchr(" \t\r\n", text_[at_])) ++at_;
    }
    char Peek() { return at_ < text_.size() ? text_[at_] : '\0'; }
    bool Take(char c) {
        Blanks();
        if (Peek() != c) return false;
        ++at_;
        return true;
    }
    void Expect(char c) { EXPECT_TRUE(Take(c)) << "'" << c << "' expected at " << at_; }

    const std::string& text_;
    size_t at_ = 0;
};

// The same plan, compare and failure table in csv and json: the same records.
TEST_F(PlannerTest, CsvAndJsonCarryTheSameRecordsAsTheText) {
    const std::string tree = "<local> Parent 0 A=B,C\n";
    const std::string sites = "EAST 10 A=5 B=6 C=20\nWEST 4 A=down B=down C=6\n"
                              "clients A=3 B=0\n";
    const std::vector<std::string> modes[] = {{}, {"--failures"}, {"--down", "C"}};
    for (const auto& mode : modes) {
        std::vector<std::string> csvOptions = mode, jsonOptions = mode;
        csvOptions.insert(csvOptions.end(), {"--format", "csv"});
        jsonOptions.insert(jsonOptions.end(), {"--format", "json"});
        e2e::RunResult csv = PlanTexts(tree, sites, csvOptions);
        e2e::RunResult json = PlanTexts(tree, sites, jsonOptions);
        std::vector<Record> fromCsv = ReadCsv(csv.out);
        std::vector<Record> fromJson = JsonReader(json.out).Records();
        EXPECT_EQ(fromCsv, fromJson) << csv.out << json.out;
        EXPECT_EQ(csv.exitCode, json.exitCode);
    }
    std::vector<Record> plan = ReadCsv(PlanTexts(tree, sites, {"--format", "csv"}).out);
    const Record east{{"record", "walk"}, {"site", "EAST"}, {"role", "Parent"},
                      {"machines", "10"}, {"winner", "B 6, A 4 of 10"}, {"margin_ms", "15"},
                      {"uncertain", "no"}};
    ASSERT_FALSE(plan.empty());
    EXPECT_EQ(plan[0], east);
    // B: a parent check every 2 hours from its 6 clients; at start 7 samples
    // and one client-count read from each of EAST's 10 machines.
    const Record b{{"record", "server"}, {"server", "B"}, {"clients", "6"},
                   {"probes_per_hour", "3.0"}, {"burst_at_start", "80.0"},
                   {"burst_after_move", "80.0"}};
    EXPECT_NE(std::find(plan.begin(), plan.end(), b), plan.end());

    // Only WEST's walk counts: nobody takes over its machines.
    std::vector<Record> failures =
        JsonReader(PlanTexts(tree, sites, {"--failures", "--format", "json", "--site", "west"}).out)
            .Records();
    const std::vector<Record> west{
        {{"record", "carries"}, {"server", "C"}, {"site", "WEST"}, {"role", "Parent"},
         {"machines", "4"}},
        {{"record", "left_without"}, {"failed", "C"}, {"site", "WEST"}, {"role", "Parent"}},
        {{"record", "move"}, {"failed", "C"}, {"site", "WEST"}, {"role", "Parent"},
         {"machines", "4"}, {"before", "C"}, {"after", "no server"}},
        {{"record", "shift"}, {"failed", "C"}, {"server", "no server"}, {"role", "Parent"},
         {"gained", "4"}, {"lost", "0"}},
        {{"record", "shift"}, {"failed", "C"}, {"server", "C"}, {"role", "Parent"},
         {"gained", "0"}, {"lost", "4"}},
    };
    EXPECT_EQ(failures, west);
}

// Every kind of record keeps to the site and role asked for, and a finding
// names the rule that found it. WEST's Parent walk is a close call; B is the
// backup of both sites when A fails.
TEST_F(PlannerTest, RecordsKeepToTheSiteAndRoleAskedFor) {
    const std::string tree = "<local> Parent 0 A,B\n<local> Alerts 0 C\n";
    const std::string sites = "EAST 10 A=10 B=20 C=5\nWEST 4 A=10 B=12 C=5\n";
    // Each record's kind and what it is about.
    auto kinds = [](const std::vector<Record>& records) {
        std::vector<std::string> seen;
        for (Record record : records)
            seen.push_back(record["record"] + " " + record["site"] + record["server"]);
        return seen;
    };
    std::vector<Record> east =
        JsonReader(PlanTexts(tree, sites, {"--format", "json", "--site", "east"}).out).Records();
    // Only the roaming Parent role loads the servers.
    const std::vector<std::string> eastKinds = {"walk EAST", "walk EAST", "server A", "server B",
                                                "backup EASTB"};
    EXPECT_EQ(kinds(east), eastKinds);
    std::vector<Record> west = JsonReader(PlanTexts(tree, sites, {"--format", "json", "--site",
                                                                  "WEST", "--role", "Parent"})
                                              .out)
                                   .Records();
    const std::vector<std::string> westKinds = {"walk WEST", "server A", "server B", "finding WEST",
                                                "backup WESTB"};
    ASSERT_EQ(kinds(west), westKinds);
    EXPECT_EQ(west[3].at("rule"), "close-call");
    const Record backup{{"record", "backup"}, {"site", "WEST"},   {"role", "Parent"},
                        {"server", "B"},      {"failed", "A"},   {"place", "<local> Parent 0"}};
    EXPECT_EQ(west[4], backup);
}

// The figures of the shares that end on one server stand apart on the page
// (100 and 75 at A, and at B).
TEST_F(PlannerTest, HtmlLabelsNeverOverlap) {
    e2e::RunResult page = PlanTexts("<local> Parent 0 A=B\n",
                                    "EAST 200 A=5 B=5\nWEST 150 A=5 B=5\nclients A=0 B=0\n",
                                    {"--format", "html"});
    // As the page lays them out: 8 px a character, 11 above the baseline, 3 below.
    struct Box {
        int left, right, top, bottom;
    };
    std::vector<Box> boxes;
    static const std::regex label("<text class=\"label[^\"]*\" x=\"(\\d+)\" y=\"(\\d+)\">([^<]*)<");
    for (std::sregex_iterator it(page.out.begin(), page.out.end(), label), end; it != end; ++it) {
        int x = std::stoi((*it)[1]), y = std::stoi((*it)[2]);
        boxes.push_back({x, x + 8 * static_cast<int>((*it)[3].length()), y - 11, y + 3});
    }
    ASSERT_EQ(boxes.size(), 4u) << page.out;
    for (size_t i = 0; i < boxes.size(); ++i)
        for (size_t j = i + 1; j < boxes.size(); ++j)
            EXPECT_FALSE(boxes[i].left < boxes[j].right && boxes[j].left < boxes[i].right &&
                         boxes[i].top < boxes[j].bottom && boxes[j].top < boxes[i].bottom)
                << "labels " << i << " and " << j << "\n" << page.out;
}

// ---- Latencies from real machines ------------------------------------------------

// A site's row made from a real /time_network run in the lab gives the lab's
// latencies back, and a server that never answered as down.
TEST_F(PlannerTest, MakesASiteRowFromARealTimeNetworkRun) {
    Load("server SRV1 latency=20\n"
         "server SRV2 latency=5\n"
         "server SRV3 latency=12\n"
         "server DOWN1 down timeout=30\n"
         "list SRV1 Parent 0 A\n"
         "list SRV2 Parent 0 B\n"
         "list SRV3 Parent 0 C\n"
         "dword <local> ProductControl TimesToAverage 3\n");
    e2e::RunResult run = e2e::RunPerchman({"/time_network", "3", "100", "SRV1,SRV2>SRV3=DOWN1"});
    ASSERT_TRUE(e2e::Finished(run));
    e2e::RunResult row = Run({"--site-row", "EAST", Write("run.txt", run.out)});
    ASSERT_EQ(row.exitCode, kExitClean) << row.err << run.out;
    std::smatch m;
    ASSERT_TRUE(std::regex_match(row.out, m,
                                 std::regex("EAST SRV1=(\\d+) SRV2=(\\d+) SRV3=(\\d+) DOWN1=down\r\n")))
        << row.out;
    std::printf("[ agreement ] site row from a /time_network run: SRV1 20 ms as %s, SRV2 5 ms "
                "as %s, SRV3 12 ms as %s\n",
                m[1].str().c_str(), m[2].str().c_str(), m[3].str().c_str());
    // A probe is never faster than its server's latency, but a machine busy
    // with other tests may answer it a few milliseconds late: the median of
    // the passes (exact in the test below) stays within that.
    const std::pair<int, int> measuredAgainstLatency[] = {
        {std::stoi(m[1]), 20}, {std::stoi(m[2]), 5}, {std::stoi(m[3]), 12}};
    for (const auto& [measured, latency] : measuredAgainstLatency) {
        EXPECT_GE(measured, latency - 1) << row.out;
        EXPECT_LE(measured, latency + 5) << row.out;
    }
    // The row is a line of the site table as it stands.
    e2e::RunResult plan = PlanTexts("<local> Parent 0 SRV1,SRV2,SRV3\n", row.out);
    EXPECT_NE(plan.out.find("  EAST             Parent     SRV2\r\n"), std::string::npos)
        << plan.out;

    for (const auto& [name, text] : std::vector<std::pair<std::string, std::string>>{
             {"EAST", "no averages here\r\n"}, {"A=B", run.out}, {"#EAST", run.out}}) {
        e2e::RunResult bad = Run({"--site-row", name, Write("run.txt", text)});
        EXPECT_EQ(bad.exitCode, kExitBadInput) << name;
        EXPECT_EQ(bad.out, "") << name;
        EXPECT_EQ(bad.err.rfind("perchplan: ", 0), 0u) << bad.err;
    }
}

// A site's row takes the median of the passes: one delayed pass does not
// move it, and an even number of passes takes the mean of the middle two.
// The run was saved by an editor as UTF-8, with its mark.
TEST_F(PlannerTest, ASiteRowTakesTheMedianOfThePasses) {
    std::string run = "\xEF\xBB\xBF";
    const std::pair<const char*, int> averages[] = {
        {"SRV1", 10}, {"SRV2", 10}, {"SRV1", 300}, {"SRV2", 12}, {"SRV1", 12}, {"SRV2", 300},
        {"SRV2", 14}};
    for (const auto& [server, ms] : averages)
        run += e2e::FormatMessageText(94, 1, server, ms, ',', ms, ms, ms, ms, ms, ms, ms);
    e2e::RunResult row = Run({"--site-row", "EAST", Write("run.txt", run)});
    EXPECT_EQ(row.out, "EAST SRV1=12 SRV2=13\r\n") << row.err << run;
    EXPECT_EQ(row.exitCode, kExitClean);
}

// ---- Files as editors save them ---------------------------------------------------

// The same tree and table saved as UTF-8 with and without its mark, and in
// the ANSI code page with Notepad's line ends: the names match across files
// whatever each one's encoding, and read alike in every format.
TEST_F(PlannerTest, ReadsUtf8AndAnsiFilesAndShowsTheirNamesAlike) {
    const auto tree = [](const std::string& name) {
        return "<local> Parent 0 " + name + "-1,B\n";
    };
    const auto sites = [](const std::string& name) {
        return name + " 5 " + name + "-1=3 B=9\n";
    };
    const std::string mark = "\xEF\xBB\xBF", utf8 = "M\xC3\x81LAGA", ansi = "M\xC1LAGA";
    const std::pair<std::string, std::string> files[] = {
        {mark + tree(utf8), mark + sites(utf8)},
        {tree(utf8), sites(ansi)},
        {tree(ansi), mark + sites(utf8)},
        {e2e::Crlf(tree(ansi)), e2e::Crlf(sites(ansi))},
    };
    for (const auto& [treeText, sitesText] : files) {
        e2e::RunResult text = PlanTexts(treeText, sitesText);
        // Code page 850 on the console: "\xB5" is its "A" with an acute accent.
        EXPECT_NE(text.out.find("  M\xB5LAGA           Parent     M\xB5LAGA-1\r\n"),
                  std::string::npos)
            << treeText << sitesText << text.out;
        EXPECT_EQ(text.exitCode, kExitClean) << text.out;
        for (const char* format : {"csv", "json", "html"}) {
            e2e::RunResult other = PlanTexts(treeText, sitesText, {"--format", format});
            EXPECT_NE(other.out.find(utf8 + "-1"), std::string::npos) << format << other.out;
            EXPECT_EQ(other.out.find(ansi), std::string::npos) << format << other.out;
        }
    }
    // A name the program could not hold is refused, not mangled: the table
    // as bad input, the tree's line as one that sets nothing.
    e2e::RunResult lacking = PlanTexts(tree("B"), "\xC5\x81ODZ 5 B=9\n");
    EXPECT_EQ(lacking.exitCode, kExitBadInput);
    EXPECT_NE(lacking.err.find(":1: a character that code page 1252 lacks, at column 1"),
              std::string::npos)
        << lacking.err;
    e2e::RunResult lackingTree =
        PlanTexts("<local> Parent 0 B\n<local> Parent 0 \xC5\x81ODZ\n", "EAST 5 B=9\n");
    EXPECT_EQ(lackingTree.exitCode, kExitProblems);
    for (const char* line : {"  EAST             Parent     B\r\n",
                             "  problem line 2: a character that code page 1252 lacks, at column "
                             "18: the program holds names in that code page; the line sets "
                             "nothing\r\n"})
        EXPECT_NE(lackingTree.out.find(line), std::string::npos) << line << lackingTree.out;
}

// ---- Bad input ------------------------------------------------------------------

// A bad combination of options says why in one line.
TEST_F(PlannerTest, ABadCombinationOfOptionsSaysWhyInOneLine) {
    const struct {
        std::vector<std::string> options;
        const char* reason;
    } cases[] = {
        {{"--failures", "--down", "A"},
         "--compare, --down and --failures do not go together: one at a time"},
        {{"--failures", "--format", "html"},
         "--format html draws a plan or a compare, not the failure table"},
        {{"--format", "xml"}, "--format xml: expected text, csv, json or html"},
        {{"--compare"}, "--compare takes OLD NEW SITES, not 2 files"},
        {{"--bogus"}, "unknown option --bogus"},
        {{"--site"}, "--site needs a value"},
    };
    for (const auto& c : cases) {
        e2e::RunResult result = PlanTexts("<local> Parent 0 A\n", "EAST A=1\n", c.options);
        EXPECT_EQ(result.exitCode, kExitBadInput) << c.reason;
        EXPECT_EQ(result.out, "") << c.reason;
        EXPECT_EQ(result.err,
                  std::string("perchplan: ") + c.reason + " (perchplan --help shows the usage)\r\n");
    }
}

// No line is cut, however many sites it names.
TEST_F(PlannerTest, ALineNamingManySitesIsWhole) {
    std::string sites, carried;
    for (int i = 0; i < 300; ++i) {
        std::string site = "SITE" + std::to_string(1000 + i);
        sites += site + " 1 A=5\n";
        carried += (i ? ", " : "") + site + " Parent 1";
    }
    e2e::RunResult result = PlanTexts("<local> Parent 0 A\n", sites, {"--failures"});
    EXPECT_NE(result.out.find("\r\n  A carries " + carried + "\r\n"), std::string::npos)
        << result.out.substr(0, 300);
}

TEST_F(PlannerTest, RefusesBadInputWithItsLineAndPrintsNothingElse) {
    const std::string tree = "<local> Alerts 0 A\n";
    struct Case {
        std::string sites;
        std::string reason;  // after "perchplan: <file>:"
    } cases[] = {
        {"EAST A=10\nWEST A=fast\n", "2: \"A=fast\": a latency is a whole number"},
        {"EAST A=10\n\nEAST A=12\n", "3: site EAST is already on line 1"},
        {"EAST A=10 A=12\n", "1: server A appears twice for site EAST"},
        {"EAST A=10\nTimesToAvrage=3\n", "2: unknown setting TimesToAvrage"},
        {"EAST A=10\nclients A=-1\n", "2: \"A=-1\": a client count is a whole number"},
        {"EAST " + std::string(128, 'S') + "=1\n", "1: a server name of 128 characters"},
        {"EAST A=1 " + std::string(5000, 'x') + "\n", "1: a line of more than 4095 characters"},
        {"# no site\nTimesToAverage=3\n", " names no site"},
        {"EAST A=10\nWithoutAddressWatchingPercent=101\n",
         "2: WithoutAddressWatchingPercent is a share in percent, from 0 to 100"},
    };
    for (const Case& c : cases) {
        std::string sites = Write("sites.txt", c.sites);
        e2e::RunResult result = Plan(Write("tree.txt", tree), sites);
        EXPECT_EQ(result.exitCode, kExitBadInput) << c.reason;
        EXPECT_EQ(result.out, "") << c.reason;
        EXPECT_EQ(result.err.rfind("perchplan: " + sites + ":" + c.reason, 0), 0u)
            << result.err;
    }
    // A "#" word starts a comment anywhere on a line.
    e2e::RunResult comment =
        Plan(Write("tree.txt", "<local> Parent 0 A\n"), Write("sites.txt", "EAST A=1 # B=x\n"));
    EXPECT_EQ(comment.exitCode, kExitClean) << comment.err << comment.out;
    e2e::RunResult missing = Plan(Path("no-such-tree.txt"), Write("sites.txt", "EAST A=1\n"));
    EXPECT_EQ(missing.exitCode, kExitBadInput);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("no-such-tree.txt: cannot be read"), std::string::npos);
}

}  // namespace
