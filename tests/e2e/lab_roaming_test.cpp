// The machine moves between the sites of a lab network: what Winsock tells a
// running program about its addresses, and how long a server takes to answer,
// from each site. Needs the lab's network namespace (tools/labshell.sh, which
// the README's test command enters).

#include <winsock2.h>

#include <cstdlib>
#include <sstream>

#include "harness/harness.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"

#include "lab_fixture.h"

namespace {

class LabRoamingTest : public LabTest {
protected:
    void SetUp() override {
        if (!std::getenv("PERCHMAN_NETNS"))
            GTEST_SKIP() << "needs the lab's network namespace: run through tools/labshell.sh";
        LabTest::SetUp();
        WSADATA data;
        ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &data), 0);
    }
    void TearDown() override {
        if (!std::getenv("PERCHMAN_NETNS")) return;
        // The tests after this one need an address and a connection again.
        std::string error;
        EXPECT_TRUE(lab::MoveToSite("MADRID", &error)) << error;
        WSACleanup();
        LabTest::TearDown();
    }

    // The machine's addresses as a program looks them up: its own host name.
    static std::vector<std::string> HostAddresses() {
        std::vector<std::string> addresses;
        char name[256] = "";
        if (gethostname(name, sizeof name) != 0) return addresses;
        const hostent* host = gethostbyname(name);
        for (int i = 0; host && host->h_addr_list[i]; ++i)
            addresses.push_back(inet_ntoa(*reinterpret_cast<const in_addr*>(host->h_addr_list[i])));
        return addresses;
    }

    double MedianReadMs(const char* server) {
        std::vector<double> samples;
        std::vector<uint8_t> block;
        for (int i = 0; i < 5; ++i) {
            double start = NowMs();
            EXPECT_EQ(Read(server, "ProductControl", "Probe", &block), 0u);
            samples.push_back(NowMs() - start);
        }
        return Median(samples);
    }
};

TEST_F(LabRoamingTest, AMoveChangesTheAddressesAndTheLatencies) {
    Load("server OFFICE latency=25\n"
         "string OFFICE ProductControl Probe x\n"
         "site MADRID 192.0.2.10 OFFICE=5\n"
         "site BARCELONA 198.51.100.20 203.0.113.20 office=45\n");
    struct Stop {
        const char* site;
        std::vector<std::string> addresses;  // empty: loopback only
        double latencyMs;
    };
    const Stop stops[] = {
        {"MADRID", {"192.0.2.10"}, 5},
        {"BARCELONA", {"198.51.100.20", "203.0.113.20"}, 45},
        {"-", {}, 25},  // no address: the plain latency
        {"MADRID", {"192.0.2.10"}, 5},
    };
    for (const Stop& stop : stops) {
        SCOPED_TRACE(stop.site);
        std::string error;
        ASSERT_TRUE(lab::MoveToSite(stop.site, &error)) << error;
        EXPECT_EQ(lab::CurrentSite(), stop.site);
        std::vector<std::string> seen = HostAddresses();
        if (stop.addresses.empty()) {
            for (const std::string& address : seen) EXPECT_EQ(address.rfind("127.", 0), 0u) << address;
        } else {
            EXPECT_EQ(seen, stop.addresses);
        }
        double ms = MedianReadMs("OFFICE");
        EXPECT_GE(ms, stop.latencyMs);
        EXPECT_LT(ms, stop.latencyMs + 10) << "a busy machine delays some answers, not the median";
    }
    std::string error;
    EXPECT_FALSE(lab::MoveToSite("LISBOA", &error));
    EXPECT_EQ(error, "no site \"LISBOA\" in the lab network");
    EXPECT_EQ(lab::CurrentSite(), "MADRID");
}

// A branch office's servers are unreachable from the other branch: the site
// says so, a move there takes the server down and the next move brings it
// back; a server that is down anyway stays down; the planner's table says it.
TEST_F(LabRoamingTest, ASiteCanMakeAServerUnreachable) {
    Load("server OFFICE latency=25\nserver LOST down latency=7\n"
         "string OFFICE ProductControl Probe x\nstring LOST ProductControl Probe x\n"
         "site MADRID 192.0.2.10 OFFICE=5 LOST=3\n"
         "site BARCELONA 198.51.100.20 OFFICE=down\n");
    std::vector<uint8_t> block;
    const struct {
        const char* site;
        bool officeAnswers;
    } stops[] = {{"BARCELONA", false}, {"MADRID", true}, {"BARCELONA", false}, {"-", true}};
    for (const auto& stop : stops) {
        SCOPED_TRACE(stop.site);
        std::string error;
        ASSERT_TRUE(lab::MoveToSite(stop.site, &error)) << error;
        EXPECT_EQ(Read("OFFICE", "ProductControl", "Probe", &block) == 0, stop.officeAnswers);
        EXPECT_NE(Read("LOST", "ProductControl", "Probe", &block), 0u);
    }
    std::string table = lab::PlannerSiteTable();
    auto lineOf = [&](const std::string& site) {
        size_t start = table.find("\n" + site + " ");
        return start == std::string::npos ? "" : table.substr(start, table.find('\n', start + 1) - start);
    };
    for (const char* latency : {" OFFICE=down", " LOST=down"})
        EXPECT_NE(lineOf("BARCELONA").find(latency), std::string::npos) << table;
    for (const char* latency : {" OFFICE=5", " LOST=down"})
        EXPECT_NE(lineOf("MADRID").find(latency), std::string::npos) << table;
}

// The faults labctl injects while programs run, as an operator or the soak
// uses them: each shows in the machine's view of the servers now, the
// site-bound ones until the next move, and bad arguments change nothing.
TEST_F(LabRoamingTest, LabctlFaultsHoldUntilTheNextMove) {
    Load("server OFFICE latency=25\nserver HUB latency=9\n"
         "string OFFICE ProductControl Probe x\n"
         "site MADRID 192.0.2.10 OFFICE=5 HUB=8\n");
    std::string error;
    ASSERT_TRUE(lab::MoveToSite("MADRID", &error)) << error;
    auto nowHas = [](const std::string& entry) {
        std::istringstream line(lab::SiteTableNow().substr(lab::SiteTableNow().find("\nNOW ")));
        for (std::string word; line >> word;)
            if (word == entry) return true;
        return false;
    };
    const struct {
        std::vector<std::string> args;
        DWORD exitCode;
        const char* officeNow;
        const char* hubNow;
    } steps[] = {
        {{"down", "OFFICE"}, 0, "OFFICE=down", "HUB=8"},
        {{"latency", "HUB", "70"}, 0, "OFFICE=down", "HUB=70"},
        {{"up", "OFFICE"}, 0, "OFFICE=5", "HUB=70"},
        {{"down", "NOBODY"}, 1, "OFFICE=5", "HUB=70"},
        {{"latency", "HUB", "7x"}, 2, "OFFICE=5", "HUB=70"},
        {{"down", "OFFICE"}, 0, "OFFICE=down", "HUB=70"},
        {{"move", "MADRID"}, 0, "OFFICE=5", "HUB=8"},
    };
    for (const auto& step : steps) {
        SCOPED_TRACE(step.args[0] + " " + step.args[1]);
        e2e::RunResult run = e2e::RunProgram(e2e::BuildPath("lab\\labctl.exe"), step.args);
        EXPECT_EQ(run.exitCode, step.exitCode) << run.out << run.err;
        EXPECT_TRUE(nowHas(step.officeNow) && nowHas(step.hubNow)) << lab::SiteTableNow();
    }

    // Refused writes hold across a move; clients come and go; the product's pace.
    auto labctl = [](std::vector<std::string> args) {
        return e2e::RunProgram(e2e::BuildPath("lab\\labctl.exe"), args).exitCode;
    };
    EXPECT_EQ(labctl({"refuse-writes", "OFFICE"}), 0u);
    ASSERT_TRUE(lab::MoveToSite("MADRID", &error)) << error;
    EXPECT_EQ(lib_.DeleteServerValue("OFFICE", "ProductControl", "Probe"), ERROR_ACCESS_DENIED);
    EXPECT_EQ(labctl({"refuse-writes", "OFFICE", "0"}), 0u);
    EXPECT_EQ(lib_.DeleteServerValue("OFFICE", "ProductControl", "Probe"), 0u);
    EXPECT_EQ(labctl({"client", "join", "DESK-7"}), 0u);
    EXPECT_TRUE(lab::KeyExists("<local>", "Clients\\DESK-7"));
    EXPECT_EQ(labctl({"client", "leave", "DESK-7"}), 0u);
    EXPECT_FALSE(lab::KeyExists("<local>", "Clients\\DESK-7"));
    EXPECT_EQ(labctl({"product", "slow", "1234"}), 0u);
    EXPECT_EQ(kestrel::ReadBehaviour(kestrel::kProcessingDelayValue), 1234u);
    EXPECT_EQ(labctl({"product", "never"}), 0u);
    EXPECT_EQ(labctl({"product", "normal"}), 0u);
    EXPECT_EQ(kestrel::ReadBehaviour(kestrel::kProcessingDelayValue, 9), 0u);
    EXPECT_EQ(kestrel::ReadBehaviour(kestrel::kNeverConfirmValue, 9), 0u);
}

}  // namespace
