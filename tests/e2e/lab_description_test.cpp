// Network descriptions: what a good one stores, and how a bad one is refused.

#include "harness/harness.h"
#include "lab_fixture.h"

namespace {

class LabDescriptionTest : public LabTest {};

TEST_F(LabDescriptionTest, StoresServersListsValuesAndFiles) {
    Load("# a two-level network\n"
         "server HQ latency=5 clients=12 pattern=3   # the head office\n"
         "server \"BRANCH ONE\" latency=20 jitter=2 seed=7\n"
         "server LOST down timeout=300 status=0x4000000C\n"
         "\n"
         "list <local> Parent 0 HQ>\"BRANCH ONE\",LOST\n"
         "list HQ Parent 1 \"BRANCH ONE\"\n"
         "dword <local> ProductControl TimesToAverage 3\n"
         "string HQ ProductControl ParentWDRPath \"WDR tools\"\n"
         "binary HQ - GUID \"00 01 02 0a\"\n"
         "key HQ ClientConfig\\Quarantine\n"
         "file HQ $\\hist\\Skyfetch.hst \"say \"\"hi\"\"\" now\n"
         "fail LOST read RoamManagingParentLevel1\n"
         "lie HQ 500\n"
         "fail HQ copy\n");
    EXPECT_TRUE(lab::ServerExists("hq"));
    EXPECT_TRUE(lab::ServerExists("BRANCH ONE"));
    EXPECT_EQ(lab::ReadString("<local>", "ProductControl", "RoamManagingParentLevel0"),
              "HQ>BRANCH ONE,LOST");
    EXPECT_EQ(lab::ReadString("HQ", "ProductControl", "RoamManagingParentLevel1"), "BRANCH ONE");
    EXPECT_EQ(lab::ReadDword("HQ", "ProductControl", "ClientCount"), 12u);
    EXPECT_EQ(lab::ReadDword("HQ", "-", "UsingPattern"), 3u);
    EXPECT_EQ(lab::ReadDword("<local>", "ProductControl", "TimesToAverage"), 3u);
    EXPECT_EQ(lab::ReadString("HQ", "ProductControl", "ParentWDRPath"), "WDR tools");
    std::optional<lab::Value> guid = lab::ReadValue("HQ", "", "GUID");
    ASSERT_TRUE(guid);
    EXPECT_EQ(guid->type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(guid->data, std::string("\x00\x01\x02\x0a", 4));
    EXPECT_TRUE(lab::KeyExists("HQ", "ClientConfig\\Quarantine"));
    EXPECT_EQ(lab::ReadServerFile("HQ", "$\\hist\\Skyfetch.hst"), "say \"hi\" now\r\n");

    std::string shown = lab::ShowServer("LOST");
    EXPECT_NE(shown.find("down: timeout 300 ms, status 0x4000000c"), std::string::npos) << shown;
    EXPECT_NE(shown.find("fail read: RoamManagingParentLevel1"), std::string::npos) << shown;
    EXPECT_NE(lab::ShowServer("HQ").find("fail copy: 0x40, lie length: 500"), std::string::npos)
        << lab::ShowServer("HQ");
}

TEST_F(LabDescriptionTest, ResetRemovesWhatANetworkLeftBehind) {
    Load("server HQ\n"
         "list <local> KPZ 0 HQ\n"
         "dword <local> ProductControl TimesToAverage 3\n"
         "file HQ $\\x.txt x\n"
         "lab record\n");
    lab::ResetNetwork();
    EXPECT_FALSE(lab::ServerExists("HQ"));
    EXPECT_FALSE(lab::ValueExists("<local>", "ProductControl", "RoamManagingKPZLevel0"));
    EXPECT_FALSE(lab::ValueExists("<local>", "ProductControl", "TimesToAverage"));
    EXPECT_EQ(GetFileAttributesA(lab::FileArea("HQ").c_str()), INVALID_FILE_ATTRIBUTES);
}

TEST_F(LabDescriptionTest, BadLinesNameTheLineAndLoadNothing) {
    struct Case {
        const char* line;
        const char* error;
    };
    const Case cases[] = {
        {"srever B", "line 2: unknown item \"srever\""},
        {"server B latency=fast", "line 2: \"fast\" is not a number in latency=fast"},
        {"server B speed=3", "line 2: unknown server option \"speed\""},
        {"server A", "line 2: server \"A\" is declared twice"},
        {"server a\\b", "line 2: \"a\\b\" cannot be a server name"},
        {"list C Parent 1 A", "line 2: unknown machine \"C\" (declare it with a server line first)"},
        {"list A Parent 1", "line 2: list needs MACHINE ROLE LEVEL LIST"},
        {"dword A - X 4294967296", "line 2: \"4294967296\" is not a number"},
        {"binary A - X 0g", "line 2: \"0g\" is not hex bytes"},
        {"file A $\\..\\x.txt hi", "line 2: \"$\\..\\x.txt\" is not a path inside the server's area"},
        {"fail A write 0", "line 2: fail write needs a non-zero STATUS"},
        {"fail A copy 0", "line 2: fail copy takes a non-zero STATUS"},
        {"fail A crash", "line 2: fail takes read, write or copy, not \"crash\""},
        {"lie A 70000", "line 2: \"70000\" is not a length of 0 to 65535"},
        {"string A - X \"open", "line 2: a quote is not closed"},
        {"lab colour=red", "line 2: unknown lab setting \"colour=red\""},
        {"site", "line 2: site needs NAME ADDRESS... [SERVER=MS|SERVER=down]..."},
        {"site HOME A=3", "line 2: site \"HOME\" needs an address"},
        {"site - 192.0.2.1", "line 2: \"-\" cannot be a site name"},
        {"site HOME 10.0.0.1", "line 2: \"10.0.0.1\" is not an address of 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24"},
        {"site HOME 192.0.2.010", "line 2: \"192.0.2.010\" is not an address of 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24"},
        {"site HOME 192.0.2.256", "line 2: \"192.0.2.256\" is not an address of 192.0.2.0/24, 198.51.100.0/24 or 203.0.113.0/24"},
        {"site HOME 192.0.2.1 B=3", "line 2: unknown server \"B\" (declare it with a server line first)"},
        {"site HOME 192.0.2.1 A=near", "line 2: \"near\" is not a number of milliseconds or down in A=near"},
        // The latency that stands for down cannot be written as a number.
        {"site HOME 192.0.2.1 A=4294967295",
         "line 2: \"4294967295\" is not a number of milliseconds or down in A=4294967295"},
        {"site HOME 192.0.2.1 192.0.2.2 192.0.2.3 192.0.2.4 192.0.2.5", "line 2: a site has at most 4 addresses"},
        {"copy A $\\t.exe Z:\\no\\such\\file.exe", "line 2: cannot find the local file \"Z:\\no\\such\\file.exe\""},
        {"endless B", "line 2: unknown server \"B\" (declare it with a server line first)"},
        {"overlong A Parent 1 MAD-1000 8", "line 2: \"8\" is not a number of 1 to 7"},
        {"list-escaped A Parent 1 A\\x00", "line 2: \"A\\x00\" has an escape other than \\r \\n \\t \\\\ \\xNN"},
        {"deep A K 101", "line 2: \"101\" is not a number of 1 to 100"},
        {"wide A K", "line 2: wide needs SERVER KEYPATH COUNT"},
        {"oversize A K Big 0", "line 2: \"0\" is not a number of 1 to 65536"},
        {"answer-any", "line 2: answer-any needs SERVER"},
    };
    for (const Case& c : cases) {
        std::string error;
        std::string text = std::string("server A latency=5\n") + c.line + "\nserver Z\n";
        EXPECT_FALSE(lab::LoadNetwork(text, &error)) << c.line;
        EXPECT_EQ(error, c.error);
        EXPECT_FALSE(lab::ServerExists("A")) << "half-loaded after: " << c.line;
    }
}

// The hostile-server kit, added by hand to a loaded network: each line
// stores what it says, and a bad one adds nothing.
TEST_F(LabDescriptionTest, TheKitIsAddedToALoadedNetworkByHand) {
    Load("server A latency=5\nserver ANY\n");
    auto labctl = [](std::vector<std::string> args) {
        args.insert(args.begin(), "add");
        return e2e::RunProgram(e2e::BuildPath("lab\\labctl.exe"), args);
    };
    e2e::RunResult added = labctl({"endless A", "empty-more A", "slow A 40 EnumServerValues",
                                   "answer-any ANY", "overlong A Alerts 1 MAD-1000 5",
                                   "list-escaped <local> Alerts 0 \"B\\r\\nC\\x7F\"",
                                   "illegal-names A Alerts 2 GOOD", "deep A K 3", "wide A W 2",
                                   "oversize A K Big 600"});
    ASSERT_EQ(added.exitCode, 0u) << added.err;
    std::string shown = lab::ShowServer("A");
    EXPECT_NE(shown.find("endless: A, empty more: yes, slow: 40 ms (EnumServerValues)"),
              std::string::npos)
        << shown;
    std::optional<std::string> overlong = lab::ReadString("A", "ProductControl",
                                                          "RoamManagingAlertsLevel1");
    ASSERT_TRUE(overlong);
    EXPECT_EQ(overlong->size(), 974u + 9u);
    EXPECT_EQ(overlong->substr(974), ",MAD-1000");
    EXPECT_EQ(lab::ReadString("<local>", "ProductControl", "RoamManagingAlertsLevel0"),
              "B\r\nC\x7F");
    std::optional<std::string> illegal = lab::ReadString("A", "ProductControl",
                                                         "RoamManagingAlertsLevel2");
    ASSERT_TRUE(illegal);
    EXPECT_EQ(illegal->substr(0, 8), "N\\X,N/X,");
    const std::string tail = ".PERIOD," + std::string(128, 'L') + ",GOOD";
    EXPECT_EQ(illegal->substr(illegal->size() - tail.size()), tail);
    EXPECT_EQ(lab::ReadDword("A", "K\\D1\\D2\\D3", "Depth3"), 3u);
    EXPECT_EQ(lab::ReadDword("A", "W\\W2", "Wide2"), 2u);
    std::optional<lab::Value> big = lab::ReadValue("A", "K", "Big");
    ASSERT_TRUE(big);
    EXPECT_EQ(big->data.size(), 600u);

    e2e::RunResult refused = labctl({"deep A K2 2", "endless NOBODY"});
    EXPECT_EQ(refused.exitCode, 1u);
    EXPECT_NE(refused.err.find("line 2: unknown server \"NOBODY\""), std::string::npos)
        << refused.err;
    EXPECT_FALSE(lab::KeyExists("A", "K2"));
}

TEST_F(LabDescriptionTest, TheSampleNetworksLoad) {
    for (const char* name : {"three-sites.lab", "two-offices.lab"}) {
        std::string path = std::string(PERCHMAN_SOURCE_DIR) + "\\lab\\networks\\" + name;
        std::string error;
        ASSERT_TRUE(lab::LoadNetworkFile(path, &error)) << name << ": " << error;
        std::optional<std::string> level0 =
            lab::ReadString("<local>", "ProductControl", "RoamManagingParentLevel0");
        ASSERT_TRUE(level0) << name;
        EXPECT_FALSE(level0->empty()) << name;
    }
    EXPECT_EQ(lab::SiteAddresses("barcelona"),
              (std::vector<std::string>{"198.51.100.20", "203.0.113.20"}));
}

TEST_F(LabDescriptionTest, RegistersTheProductLibrary) {
    ASSERT_TRUE(lab::RegisterProductLibrary(LabLibraryPath()));
    char path[600] = "";
    LONG size = sizeof path;
    ASSERT_EQ(RegQueryValueA(HKEY_CLASSES_ROOT, product::kLibraryClsidKey, path, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(std::string(path), LabLibraryPath());
}

}  // namespace
