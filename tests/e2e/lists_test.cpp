// /import and /export through the real program against lab servers.

#include <windows.h>

#include <cstdio>
#include <regex>
#include <string>
#include <utility>
#include <vector>

#include "harness/harness.h"
#include "labnet/labnet.h"

namespace {

using e2e::Crlf;
using e2e::FormatMessageText;
using e2e::Message;

// Probe times vary with the machine; the reports are compared with every
// time written as N.
std::string WithoutTimes(const std::string& text) {
    static const std::regex time("lapso [0-9]+ ms");
    return std::regex_replace(text, time, "lapso N ms");
}

std::string Timing() { return WithoutTimes(FormatMessageText(149, 0, 0u)); }
std::string Failure(unsigned status) { return WithoutTimes(FormatMessageText(150, 0, status)); }

class ListsTest : public e2e::ProductTest {
protected:
    void SetUp() override {
        e2e::ProductTest::SetUp();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        directory_ = std::string(temp) + "perchman_lists_e2e";
        CreateDirectoryA(directory_.c_str(), nullptr);
    }
    void TearDown() override {
        for (const std::string& path : files_) DeleteFileA(path.c_str());
        RemoveDirectoryA(directory_.c_str());
        e2e::ProductTest::TearDown();
    }


    std::string Path(const char* leaf) {
        std::string path = directory_ + "\\" + leaf;
        files_.push_back(path);
        return path;
    }

    std::string WriteFile(const char* leaf, const std::string& bytes) {
        std::string path = Path(leaf);
        FILE* file = std::fopen(path.c_str(), "wb");
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
        return path;
    }

    e2e::RunResult Run(const std::vector<std::string>& args) {
        e2e::RunResult result = e2e::RunPerchman(args);
        EXPECT_TRUE(e2e::Finished(result));
        return result;
    }

    std::string directory_;
    std::vector<std::string> files_;
};

std::string Local(const char* valueName) {
    return lab::ReadString("<local>", "ProductControl", valueName).value_or("<none>");
}
std::string OnServer(const char* server, const char* valueName) {
    return lab::ReadString(server, "ProductControl", valueName).value_or("<none>");
}

TEST_F(ListsTest, ImportReportsEveryKindOfLine) {
    Load("server SRV1\n"
         "server SRV2\n"
         "server DOWN1 down timeout=0\n"
         "server FAILW\n"
         "fail FAILW write 5\n"
         "list SRV2 Quarantine 1 old\n");
    std::string file = WriteFile("import.txt",
                                 "# lists of the test\r\n"
                                 "  <LOCAL>\tparent  0   srvA , srvB>srvC\r\n"
                                 "SRV1 Parent 1 S3,S4\r\n"
                                 "SRV2 Quarantine 1 #\r\n"
                                 "SRV2 Quarantine 1 #\r\n"
                                 "DOWN1 Alerts 1 a\r\n"
                                 "FAILW HPD 1 h\r\n"
                                 "FAILW HPD 1 #\r\n"
                                 "<local> Parent 0\r\n"
                                 "<local> WDR 0 a,,b\r\n"
                                 " \t \r\n"
                                 "<local> Parent x srvA\r\n");
    e2e::RunResult result = Run({"/import", file});

    std::string expected =
        FormatMessageText(64, "RoamManagingparentLevel0", "srvA,srvB>srvC") +
        FormatMessageText(67, "SRV1", "RoamManagingParentLevel1", "S3,S4") +
        FormatMessageText(70, "SRV2", "RoamManagingQuarantineLevel1") +
        FormatMessageText(68, "SRV2", "RoamManagingQuarantineLevel1") +
        FormatMessageText(148, "DOWN1", "RoamManagingAlertsLevel1", 0x40000010u) +
        FormatMessageText(66, "FAILW", "RoamManagingHPDLevel1", 5u) +
        FormatMessageText(69, "FAILW", "RoamManagingHPDLevel1", 5u) +
        FormatMessageText(144, 9) + FormatMessageText(144, 10) +
        FormatMessageText(64, "RoamManagingParentLevelx", "srvA");
    EXPECT_BYTES_EQ(Crlf(expected), result.out);

    EXPECT_EQ(Local("RoamManagingParentLevel0"), "srvA,srvB>srvC");
    EXPECT_EQ(Local("RoamManagingParentLevelx"), "srvA");
    EXPECT_EQ(Local("RoamManagingWDRLevel0"), "<none>");
    EXPECT_EQ(OnServer("SRV1", "RoamManagingParentLevel1"), "S3,S4");
    // The local pair travels with every server line.
    EXPECT_EQ(OnServer("SRV1", "RoamManagingParentLevel0"), "srvA,srvB>srvC");
    EXPECT_FALSE(lab::ValueExists("SRV2", "ProductControl", "RoamManagingQuarantineLevel1"));
}

TEST_F(ListsTest, ImportCreatesTheLocalTargetAndReportsAFailedDelete) {
    e2e::RemoveProductRoot();
    std::string file = WriteFile("import.txt", "<local> Parent 0 #\n<local> HPD 0 h1,h2\n");
    e2e::RunResult result = Run({"/import", file});

    std::string failure = Message(65) + " - " + Message(2) + " (2) ";
    ASSERT_GE(result.out.size(), failure.size());
    EXPECT_BYTES_EQ(failure, result.out.substr(0, failure.size()));
    std::string set = Crlf(FormatMessageText(64, "RoamManagingHPDLevel0", "h1,h2"));
    EXPECT_BYTES_EQ(set, result.out.substr(result.out.size() - set.size()));
    EXPECT_EQ(Local("RoamManagingHPDLevel0"), "h1,h2");
}

TEST_F(ListsTest, ImportOfAFileThatCannotBeOpened) {
    e2e::RunResult result = Run({"/import", directory_ + "\\no such file.txt"});
    std::string head = Message(71) + " - " + Message(2) + " (2) ";
    ASSERT_GE(result.out.size(), head.size());
    EXPECT_BYTES_EQ(head, result.out.substr(0, head.size()));
}

// Local S1,S2 for Parent, three levels below it: S1 names S3 and S4, S3
// names S6, S6 publishes an empty list, S4 publishes nothing (which reads as
// an empty list too), S2 is down.
// Quarantine's list names two servers with a preference mark, each asked by
// its name.
constexpr char kThreeLevels[] =
    "server S1\n"
    "server S2 down timeout=0\n"
    "server S3\n"
    "server S4\n"
    "server S6\n"
    "list <local> Parent 0 S1,S2\n"
    "list S1 Parent 1 S3,S4\n"
    "list S3 Parent 2 S6\n"
    "list S6 Parent 3 \"\"\n"
    "list <local> Quarantine 0 S7(40)>S1\n"
    "list S1 Quarantine 1 \"\"\n";

std::string ThreeLevelReport(bool console) {
    std::string note = console ? " # " + Timing() : "";
    return "<local> Parent 0 S1,S2\n"
           "  S1 Parent 1 S3,S4" + note + "\n"
           "    S3 Parent 2 S6" + note + "\n"
           "      # S6 Parent 3 # " + Timing() + "\n"
           "    # S4 Parent 2 # " + Timing() + "\n"
           "  # S2 Parent 1 # " + Failure(0x40000010) + "\n"
           "<local> Quarantine 0 S7(40)>S1\n"
           "  # S7 Quarantine 1 # " + Failure(0x40000010) + "\n"
           "  # S1 Quarantine 1 # " + Timing() + "\n"
           "# <local> Alerts 0\n"
           "# <local> HPD 0\n"
           "# <local> WDR 0\n"
           "# <local> KPZ 0\n";
}

TEST_F(ListsTest, ExportToAFileOfAThreeLevelNetwork) {
    Load(kThreeLevels);
    std::string target = Path("report.txt");
    WriteFile("report.txt", "the previous report\r\n");
    e2e::RunResult result = Run({"/export", target});

    std::optional<std::string> report = lab::ReadLocalFile(target);
    ASSERT_TRUE(report);
    EXPECT_BYTES_EQ(Crlf(ThreeLevelReport(false)), WithoutTimes(*report));
    // The export shows its lines on the console as well.
    EXPECT_BYTES_EQ(Crlf(ThreeLevelReport(false)), WithoutTimes(result.out));
}

TEST_F(ListsTest, ExportToTheConsoleOfAThreeLevelNetwork) {
    Load(kThreeLevels);
    e2e::RunResult result = Run({"/export"});
    EXPECT_BYTES_EQ(Crlf(ThreeLevelReport(true)), WithoutTimes(result.out));
}

TEST_F(ListsTest, ExportedListsImportBackOnEveryMachine) {
    const char* servers =
        "server P1\nserver P2\nserver P3\nserver P4\nserver P5\nserver P6\nserver Q1\n";
    Load(servers);
    std::string first = WriteFile("first.txt",
                                  "<local> Parent 0 P1,P2\n"
                                  "P1 Parent 1 P3,P4\n"
                                  "P3 Parent 2 P5\n"
                                  "<local> Quarantine 0 Q1\n"
                                  "Q1 Quarantine 1 P6\n"
                                  "<local> HPD 0 Q1>P1\n"
                                  "P1 HPD 1 P3(200)=P5\n"
                                  "P5 HPD 2 P6\n"
                                  "<local> WDR 0 P2=P4(300)\n"
                                  "<local> KPZ 0 P5\n"
                                  "P5 KPZ 1 P6\n"
                                  "<local> Alerts 0 P6\n"
                                  "P6 Alerts 1 P1,P2\n");
    Run({"/import", first});
    // Every list the first import set, with where it lives.
    const std::vector<std::pair<const char*, const char*>> lists = {
        {"<local>", "RoamManagingParentLevel0"}, {"P1", "RoamManagingParentLevel1"},
        {"P3", "RoamManagingParentLevel2"},      {"<local>", "RoamManagingQuarantineLevel0"},
        {"Q1", "RoamManagingQuarantineLevel1"},  {"<local>", "RoamManagingHPDLevel0"},
        {"P1", "RoamManagingHPDLevel1"},         {"P5", "RoamManagingHPDLevel2"},
        {"<local>", "RoamManagingWDRLevel0"},    {"<local>", "RoamManagingKPZLevel0"},
        {"P5", "RoamManagingKPZLevel1"},         {"<local>", "RoamManagingAlertsLevel0"},
        {"P6", "RoamManagingAlertsLevel1"}};
    std::vector<std::string> before;
    for (auto [machine, valueName] : lists) {
        before.push_back(OnServer(machine, valueName));
        ASSERT_NE(before.back(), "<none>") << machine << " " << valueName;
    }

    std::string exported = Path("exported.txt");
    Run({"/export", exported});
    Load(servers);  // a fresh network: no list anywhere
    ASSERT_EQ(Local("RoamManagingParentLevel0"), "<none>");
    Run({"/import", exported});

    for (size_t i = 0; i < lists.size(); ++i)
        EXPECT_EQ(OnServer(lists[i].first, lists[i].second), before[i])
            << lists[i].first << " " << lists[i].second;
}

}  // namespace
