// perchplan end to end: the winners it plans against what perchman's own
// search chooses on the lab networks, its check of the lists, and bad input.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
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
constexpr DWORD kExitFindings = 1;
constexpr DWORD kExitBadInput = 2;

class PlannerTest : public e2e::ProductTest {
protected:
    std::string Path(const std::string& leaf) { return scratch_.Path(leaf); }
    std::string Write(const std::string& leaf, const std::string& bytes) {
        return scratch_.Write(leaf, bytes);
    }

    e2e::RunResult Plan(const std::string& treePath, const std::string& sitesPath) {
        e2e::RunResult result =
            e2e::RunProgram(e2e::PerchplanPath(), {treePath, sitesPath});
        EXPECT_TRUE(e2e::Finished(result));
        return result;
    }
    e2e::RunResult PlanTexts(const std::string& tree, const std::string& sites) {
        return Plan(Write("tree.txt", tree), Write("sites.txt", sites));
    }

    e2e::ScratchFolder scratch_{"perchplan_e2e"};
};

// ---- The planner and the program agree ------------------------------------------

// Per site and role, the servers a search can end on: one, the members of a
// random pick, or none.
using Winners = std::map<std::pair<std::string, std::string>, std::set<std::string>>;

// The plan's first section, lines "  SITE ROLE WINNER".
Winners PlannedWinners(const std::string& out) {
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
        std::set<std::string>& servers = winners[{site, role}];
        static const std::regex randomPick("one of (.*) \\(random pick\\)");
        std::smatch members;
        if (std::regex_match(rest, members, randomPick)) {
            std::istringstream names(members[1].str());
            for (std::string name; std::getline(names >> std::ws, name, ',');) servers.insert(name);
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
            std::string latency = word.substr(equals + 1);
            if (latency == "down") continue;
            ASSERT_TRUE(lab::SetBehaviour(word.substr(0, equals), "LatencyMs",
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
    std::mt19937 random(seed);
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
            for (int site = 0; site < 2; ++site)
                siteLatencies[site] +=
                    text({" ", name, "=", std::to_string(5 + 20 * slots[site][i])});
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

    int compared = 0, equal = 0;
    for (const auto& [name, description, lists] : networks) {
        Load(ForComparison(description));
        if (!lists.empty()) {
            std::string imported = Write("lists.txt", ImportForComparison(lists));
            ASSERT_TRUE(e2e::Finished(e2e::RunPerchman({"/import", imported}))) << name;
        }
        std::string tree = Path("tree.txt");
        ASSERT_TRUE(e2e::Finished(e2e::RunPerchman({"/export", tree}))) << name;
        std::string table = lab::PlannerSiteTable();
        e2e::RunResult plan = Plan(tree, Write("sites.txt", table));
        Winners planned = PlannedWinners(plan.out);
        ASSERT_FALSE(planned.empty()) << name << "\n" << e2e::Describe(plan);
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
    std::printf("[ agreement ] %u networks, %d searches, %d winners equal\n",
                static_cast<unsigned>(networks.size()), compared, equal);
}

// ---- The walk explained, and the load ------------------------------------------

// At EAST the group A=B wins by its client counts; at WEST nothing is within
// its limit while the last server answers, so the engine searches again and
// again.
TEST_F(PlannerTest, ExplainsTheWalkAndCountsTheProbesEachServerReceives) {
    e2e::RunResult result = PlanTexts(
        "<local> Parent 0 C(40),A(40)=B(40)\n",
        "EAST 10 C=50 A=10 B=20\nWEST 6 C=60 A=70 B=80\nclients A=1 B=2\n"
        "TimesToAverage=3 FindNearestParentIntervalInMinutes=30\n"
        "CheckParentIntervalInMinutes=60 CheckForNewParentIntervalInSeconds=60\n");
    const std::string out = result.out;
    for (const std::string& line : {
             std::string("    C       50 ms  limit 40 ms    not acceptable: over its limit"),
             std::string("    A       10 ms  limit 40 ms    fastest so far, 1 client"),
             "    " + e2e::FormatMessageText(90, "A", 10),
             std::string("    A publishes no list for level 2, so its \"=\" group A=B is "
                         "balanced: the fewest clients win"),
             std::string("  => A"),
             std::string("    nothing acceptable at level 1: no server for this role"),
             std::string("  => no server; the engine searches again every 60 s until one "
                         "answers")})
        EXPECT_NE(out.find(e2e::Crlf(line)), std::string::npos) << line << "\n" << out;

    // Per hour: EAST 10 machines x 2 searches, WEST 6 x 60 retries; each search
    // takes 3 samples of every server and one warm-up of C; EAST reads the
    // group's client counts and checks its parent A once an hour.
    const struct {
        const char* server;
        double searches, clientCounts, parentChecks;
    } expected[] = {{"C", 20 * 4 + 360 * 4, 0, 0},
                    {"A", 20 * 3 + 360 * 3, 20, 10},
                    {"B", 20 * 3 + 360 * 3, 20, 0}};
    for (const auto& server : expected) {
        std::smatch figures;
        std::regex row(std::string("\r\n  ") + server.server +
                       " +([0-9.]+) +([0-9.]+) +([0-9.]+) +([0-9.]+)\r\n");
        ASSERT_TRUE(std::regex_search(out, figures, row)) << server.server << "\n" << out;
        EXPECT_EQ(std::stod(figures[1]), server.searches) << server.server;
        EXPECT_EQ(std::stod(figures[2]), server.clientCounts) << server.server;
        EXPECT_EQ(std::stod(figures[3]), server.parentChecks) << server.server;
    }
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
    struct Case {
        const char* finding;
        std::string tree, sites, expected;
        bool raised;
    } cases[] = {
        {"unreachable", "<local> Alerts 0 A,B\n", "EAST A=10 B=down\nWEST A=10 B=down\n",
         "<local> Alerts 0: no site can reach \"B\"", true},
        {"unreachable", "<local> Alerts 0 A,B\n", "EAST A=10 B=down\nWEST A=10 B=5\n",
         "no site can reach", false},
        {"no latency", "<local> Alerts 0 A,E\n", sites, "\"E\" has no latency in the table", true},
        {"no latency", "<local> Alerts 0 A,D\n", sites, "has no latency", false},
        {"long name", "<local> Alerts 0 A," + name128 + "\n", sites,
         "is never chosen: a name of 128 characters", true},
        {"long name", "<local> Alerts 0 A," + name127 + "\n", sites, "is never chosen", false},
        {"long list", "<local> Alerts 0 " + names('L', 21) + "," + std::string(16, 'M') + "\n",
         sites, "line 1: a list of 1024 characters: a list holds at most 1023", true},
        {"long list", "<local> Alerts 0 " + names('L', 21) + "," + std::string(15, 'M') + "\n",
         sites, "a list holds at most 1023", false},
        {"import refuses", "<local> Alerts 0 A,,B\n", sites, "line 1: the import refuses it",
         true},
        {"import refuses", "<local> Alerts 0 A , B\n", sites, "the import refuses", false},
        {"group not balanced", "<local> Alerts 0 A=B\nB Alerts 1 C\n", sites,
         "<local> Alerts 0: the \"=\" group A=B is decided by speed alone: B publishes a list "
         "for level 1",
         true},
        {"group not balanced", "<local> Alerts 0 A=B,C\nC Alerts 1 D\n", sites,
         "is decided by speed alone", false},
        {"preference never applies", "<local> Alerts 0 B(15)>A\n", sites,
         "the \">\" after \"B\" never applies", true},
        {"preference never applies", "<local> Alerts 0 B(25)>A\n", sites, "never applies",
         false},
        {"preference always applies", "<local> Alerts 0 B>A\n", sites,
         "the \">\" after \"B\" applies at every site that reads this list", true},
        {"preference always applies", "<local> Alerts 0 B>A\n",
         "EAST A=10 B=20\nWEST A=10 B=down\n", "applies at every site", false},
        {"never chosen", "<local> Alerts 0 A,B,C\n", slowB, "no site ever chooses \"B\"", true},
        {"never chosen", "<local> Alerts 0 A,B\n", "EAST A=10 B=20\nWEST A=10 B=5\n",
         "no site ever chooses", false},
        {"never read", "<local> Alerts 0 A,B\nA Alerts 2 C\n", sites,
         "A Alerts 2: no list that the walk reads at level 1 names \"A\"", true},
        {"never read", "<local> Alerts 0 A,B\nA Alerts 1 C\n", sites, "never reads", false},
    };
    for (const Case& c : cases) {
        e2e::RunResult result = PlanTexts(c.tree, c.sites);
        bool found = result.out.find(c.expected) != std::string::npos;
        EXPECT_EQ(found, c.raised) << c.finding << ": " << c.expected << "\n" << result.out;
        if (c.raised) {
            EXPECT_EQ(result.exitCode, kExitFindings) << c.finding;
        }
    }
    e2e::RunResult clean = PlanTexts("<local> Alerts 0 A>B\n", "EAST A=10 B=20\nWEST A=down B=5\n");
    EXPECT_NE(clean.out.find("  nothing found"), std::string::npos) << clean.out;
    EXPECT_EQ(clean.exitCode, kExitClean);
}

// ---- Bad input ------------------------------------------------------------------

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
    };
    for (const Case& c : cases) {
        std::string sites = Write("sites.txt", c.sites);
        e2e::RunResult result = Plan(Write("tree.txt", tree), sites);
        EXPECT_EQ(result.exitCode, kExitBadInput) << c.reason;
        EXPECT_EQ(result.out, "") << c.reason;
        EXPECT_EQ(result.err.rfind("perchplan: " + sites + ":" + c.reason, 0), 0u)
            << result.err;
    }
    e2e::RunResult missing = Plan(Path("no-such-tree.txt"), Write("sites.txt", "EAST A=1\n"));
    EXPECT_EQ(missing.exitCode, kExitBadInput);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("no-such-tree.txt: cannot be read"), std::string::npos);
}

}  // namespace
