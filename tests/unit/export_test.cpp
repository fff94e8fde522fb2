#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <regex>
#include <string>

#include "common/handles.h"
#include "platform/system_functions.h"
#include "lists/export.h"
#include "lists_fake_servers.h"

using listsfake::CaptureOutput;
using listsfake::Msg;
using listsfake::Probes;
using listsfake::Servers;

namespace {


void SetLocalList(const char* role, const char* list) {
    RegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kControl, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    std::string name = std::string("RoamManaging") + role + "Level0";
    RegSetValueExA(key.get(), name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(list),
                   static_cast<DWORD>(std::strlen(list) + 1));
}


// Probe times vary; the tests compare the texts with every time as N.
std::string WithoutTimes(const std::string& text) {
    static const std::regex time("lapso [0-9]+ ms");
    return std::regex_replace(text, time, "lapso N ms");
}

std::string Timing() { return WithoutTimes(Msg(149, 0, 0u)); }
std::string Failure(product::Status status) { return WithoutTimes(Msg(150, 0, status)); }

std::string ReadBytes(const std::string& path) {
    StdioFile file(std::fopen(path.c_str(), "rb"));
    if (!file) return "<missing>";
    std::string bytes;
    char buffer[4096];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, file.get())) > 0;)
        bytes.append(buffer, n);
    return bytes;
}

std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n') out += '\r';
        out += c;
    }
    return out;
}

// Names of the files in a directory, to see that no temporary file stays.
std::vector<std::string> FilesIn(const std::string& directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    FindHandle find(FindFirstFileA((directory + "\\*").c_str(), &found));
    if (!find) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(find.get(), &found));
    return names;
}

class ExportTest : public ::testing::Test {
protected:
    void SetUp() override {
        RemoveLocalLists();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        directory_ = std::string(temp) + "perchman_export_test";
        RemoveDirectoryTree();
        CreateDirectoryA(directory_.c_str(), nullptr);
    }
    void TearDown() override {
        RemoveLocalLists();
        RemoveDirectoryTree();
    }
    void RemoveDirectoryTree() {
        for (const std::string& name : FilesIn(directory_)) {
            std::string path = directory_ + "\\" + name;
            SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileA(path.c_str());
        }
        RemoveDirectoryA(directory_.c_str());
    }
    std::string Path(const char* leaf) const { return directory_ + "\\" + leaf; }

    // Local S1,S2 for Parent; S1 publishes S3 at level 1, S3 publishes an
    // empty list at level 2, S2 does not answer.
    void ThreeLevels() {
        SetLocalList("Parent", "S1,S2");
        Servers["S1"].values["RoamManagingParentLevel1"] = "S3";
        Servers["S3"].values["RoamManagingParentLevel2"] = "";
    }

    // Local S1 for Parent, S1 publishing nothing, and a report.txt from before;
    // the path of report.txt.
    std::string OneServerAndAPreviousReport() {
        SetLocalList("Parent", "S1");
        Servers["S1"];
        std::string target = Path("report.txt");
        StdioFile old(std::fopen(target.c_str(), "wb"));
        std::fputs("previous report", old.get());
        return target;
    }

    std::string directory_;
    listsfake::FakeLibrary fake_;
};

TEST_F(ExportTest, RoleWithoutLocalListIsOneCommentedLine) {
    std::string out = CaptureOutput([] { EXPECT_EQ(ReportRole(nullptr, "Alerts"), 2); });
    EXPECT_EQ(out, "# <local> Alerts 0\n");
    EXPECT_TRUE(Probes.empty());
}

TEST_F(ExportTest, ReportServerReturnsTheStatusOfTheLastQueryOfItsSubtree) {
    Servers["A"].values["RoamManagingHPDLevel1"] = "B,C";
    Servers["B"].values["RoamManagingHPDLevel2"] = "";
    CaptureOutput([] { EXPECT_EQ(ReportServer("A", "HPD", 1, nullptr), listsfake::kNoAnswer); });
    Servers["C"].values["RoamManagingHPDLevel2"] = "";
    CaptureOutput([] { EXPECT_EQ(ReportServer("A", "HPD", 1, nullptr), 0u); });
}

// Entries are split as the search splits them and asked by name without a
// limit; each server's own line keeps its list as published.
TEST_F(ExportTest, MarkedListsAreFollowedAndPrintedAsPublished) {
    SetLocalList("WDR", ",W1(500)>W2,,W3=W4,");
    Servers["W1"].values["RoamManagingWDRLevel1"] = "X(20)>Y";
    Servers["Y"].values["RoamManagingWDRLevel2"] = "";
    Servers["W2"];
    Servers["W3"].values["RoamManagingWDRLevel1"] = "";
    std::string out = CaptureOutput([] { ReportRole(nullptr, "WDR"); });
    EXPECT_EQ(WithoutTimes(out), "<local> WDR 0 ,W1(500)>W2,,W3=W4,\n"
                                 "  W1 WDR 1 X(20)>Y # " + Timing() + "\n"
                                 "    # X WDR 2 # " + Failure(listsfake::kNoAnswer) + "\n"
                                 "    # Y WDR 2 # " + Timing() + "\n"
                                 "  # W2 WDR 1 # " + Failure(product::kNotFound) + "\n"
                                 "  # W3 WDR 1 # " + Timing() + "\n"
                                 "  # W4 WDR 1 # " + Failure(listsfake::kNoAnswer) + "\n");
    EXPECT_EQ(Probes, (std::vector<std::string>{
                          "W1 RoamManagingWDRLevel1", "X RoamManagingWDRLevel2",
                          "Y RoamManagingWDRLevel2", "W2 RoamManagingWDRLevel1",
                          "W3 RoamManagingWDRLevel1", "W4 RoamManagingWDRLevel1"}));
}

// A name that an import would read as another server's, or as a comment, is
// a commented line and is not asked.
TEST_F(ExportTest, NamesThatWouldNotReadBackAreNotAsked) {
    SetLocalList("Parent", "S1");
    Servers["S1"].values["RoamManagingParentLevel1"] = "X Parent,#B, ,S2";
    std::string out = CaptureOutput([] { ReportRole(nullptr, "Parent"); });
    std::string unreportable = Failure(kUnreportableName);
    EXPECT_EQ(WithoutTimes(out), "<local> Parent 0 S1\n"
                                 "  S1 Parent 1 X Parent,#B, ,S2 # " + Timing() + "\n"
                                 "    # X Parent Parent 2 # " + unreportable + "\n"
                                 "    # #B Parent 2 # " + unreportable + "\n"
                                 "    #   Parent 2 # " + unreportable + "\n"
                                 "    # S2 Parent 2 # " + Failure(listsfake::kNoAnswer) + "\n");
    EXPECT_EQ(Probes, (std::vector<std::string>{"S1 RoamManagingParentLevel1",
                                                 "S2 RoamManagingParentLevel2"}));
}

// A list that would put lines of its own into the report, or that an import
// would read as a request to delete the value, is a failure line, and what it
// names is not asked; this machine's own value likewise.
TEST_F(ExportTest, ListsThatWouldNotReadBackAreNeitherPrintedNorFollowed) {
    for (const char* list : {"A\r\n<local> Parent 0 EVIL", "A\nB", "A\tB", "A\x7f", "A\x01",
                             "#A,B", "  #A"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(list)));
        Probes.clear();
        SetLocalList("Parent", "S1");
        Servers["S1"].values["RoamManagingParentLevel1"] = list;
        std::string out = CaptureOutput([] { ReportRole(nullptr, "Parent"); });
        EXPECT_EQ(WithoutTimes(out), "<local> Parent 0 S1\n"
                                     "  # S1 Parent 1 # " + Failure(kUnprintableList) + "\n");
        EXPECT_EQ(Probes, std::vector<std::string>{"S1 RoamManagingParentLevel1"});

        Probes.clear();
        SetLocalList("Parent", list);
        out = CaptureOutput([] { ReportRole(nullptr, "Parent"); });
        EXPECT_EQ(out, "# <local> Parent 0\n");
        EXPECT_TRUE(Probes.empty());
    }
}

// A chain of servers that never ends is cut below level 64; servers that
// name each other at every level are cut after 10 000 lines. Each cut is a
// commented line for the server that was not asked.
TEST_F(ExportTest, EndlessTreesAreCutWithACommentedLine) {
    SetLocalList("Parent", "L");
    for (int level = 1; level <= kMaxReportLevel + 5; ++level)
        Servers["L"].values["RoamManagingParentLevel" + std::to_string(level)] = "L(10)";
    std::string out = CaptureOutput([] { ReportRole(nullptr, "Parent"); });
    EXPECT_EQ(Probes.size(), static_cast<size_t>(kMaxReportLevel));
    std::string cut = std::string(2 * (kMaxReportLevel + 1), ' ') + "# L Parent " +
                      std::to_string(kMaxReportLevel + 1) + " # " + Msg(150, 0, kReportTooDeep) +
                      "\n";
    ASSERT_GE(out.size(), cut.size());
    EXPECT_EQ(out.substr(out.size() - cut.size()), cut);

    Probes.clear();
    SetLocalList("HPD", "A=B");
    for (int level = 1; level <= kMaxReportLevel; ++level) {
        std::string value = "RoamManagingHPDLevel" + std::to_string(level);
        Servers["A"].values[value] = Servers["B"].values[value] = "A,B";
    }
    out = CaptureOutput([] { ReportRole(nullptr, "HPD"); });
    size_t lastLine = out.rfind('\n', out.size() - 2) + 1;
    std::string last = out.substr(lastLine);
    std::string reason = " # " + Msg(150, 0, kReportTooLarge) + "\n";
    ASSERT_GE(last.size(), reason.size());
    EXPECT_EQ(last.substr(last.size() - reason.size()), reason) << last;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), kMaxReportedServers + 2);
}

TEST_F(ExportTest, FileReportIsTheImportFormInTextModeAndAlsoOnTheConsole) {
    ThreeLevels();
    SetLocalList("KPZ", "K1");
    Servers["K1"].values["RoamManagingKPZLevel1"] = "K2";
    Servers["K2"].failure = ERROR_ACCESS_DENIED;
    std::string target = Path("report.txt");
    std::string out = CaptureOutput([&] { EXPECT_EQ(ExportServerLists(target.c_str()), 1); });

    std::string expected =
        "<local> Parent 0 S1,S2\n"
        "  S1 Parent 1 S3\n"
        "    # S3 Parent 2 # " + Timing() + "\n"
        "  # S2 Parent 1 # " + Failure(listsfake::kNoAnswer) + "\n"
        "# <local> Quarantine 0\n"
        "# <local> Alerts 0\n"
        "# <local> HPD 0\n"
        "# <local> WDR 0\n"
        "<local> KPZ 0 K1\n"
        "  K1 KPZ 1 K2\n"
        "    # K2 KPZ 2 # " + Failure(ERROR_ACCESS_DENIED) + "\n";
    EXPECT_EQ(WithoutTimes(ReadBytes(target)), Crlf(expected));
    EXPECT_EQ(WithoutTimes(out), expected);
    EXPECT_EQ(FilesIn(directory_), std::vector<std::string>{"report.txt"});
}

TEST_F(ExportTest, TargetIsReplacedOnlyByAFinishedReport) {
    std::string target = OneServerAndAPreviousReport();
    CaptureOutput([&] { EXPECT_EQ(ExportServerLists(target.c_str()), 1); });
    EXPECT_EQ(ReadBytes(target).substr(0, 25), "<local> Parent 0 S1\r\n  # ");

    // A target that cannot be replaced (here a directory) stays as it was;
    // the report is dropped with its temporary file.
    std::string taken = Path("taken");
    ASSERT_TRUE(CreateDirectoryA(taken.c_str(), nullptr));
    int result = -1;
    std::string out = CaptureOutput([&] { result = ExportServerLists(taken.c_str()); });
    EXPECT_EQ(result, 0);
    EXPECT_EQ(GetFileAttributesA(taken.c_str()) & FILE_ATTRIBUTE_DIRECTORY,
              static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    RemoveDirectoryA(taken.c_str());
    std::string head = Msg(145) + " - " + Msg(2) + " (";
    EXPECT_NE(out.find(head), std::string::npos) << out;
    std::vector<std::string> files = FilesIn(directory_);
    EXPECT_EQ(files, std::vector<std::string>{"report.txt"});
}

// While the report is written, a handle on its temporary file that does not
// share deletion, so that the file cannot be renamed afterwards.
std::string LockDirectory;
HANDLE Lock = INVALID_HANDLE_VALUE;
product::Status WINAPI ReadAndLockTemporaryFile(const char* server, const char* keyPath,
                                                uint8_t* block, uint32_t size, uint32_t* count) {
    for (const std::string& name : FilesIn(LockDirectory))
        if (Lock == INVALID_HANDLE_VALUE && name.substr(0, 3) == "prm")
            Lock = CreateFileA((LockDirectory + "\\" + name).c_str(), GENERIC_READ,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                               nullptr);
    return listsfake::ReadServerValues(server, keyPath, block, size, count);
}

// Windows 9x has no one-step replace: the previous report is moved aside
// while the new one is renamed into place, and put back when that rename
// fails, so the administrator keeps a whole report either way.
TEST_F(ExportTest, Windows9xKeepsThePreviousReportWhenTheNewOneCannotTakeItsPlace) {
    std::string target = OneServerAndAPreviousReport();
    LockDirectory = directory_;
    Product.ReadServerValues = ReadAndLockTemporaryFile;
    DWORD savedWin9x = EngineFunctions.IsWin9x;
    EngineFunctions.IsWin9x = 1;
    int result = -1;
    std::string out = CaptureOutput([&] { result = ExportServerLists(target.c_str()); });
    EngineFunctions.IsWin9x = savedWin9x;
    ASSERT_NE(Lock, INVALID_HANDLE_VALUE);
    CloseHandle(Lock);
    Lock = INVALID_HANDLE_VALUE;

    EXPECT_EQ(result, 0);
    EXPECT_EQ(ReadBytes(target), "previous report");
    std::string head = Msg(145) + " - " + Msg(2) + " (";
    ASSERT_NE(out.find(Msg(145)), std::string::npos) << out;
    EXPECT_EQ(out.substr(out.find(Msg(145)), head.size()), head) << out;
}

TEST_F(ExportTest, TargetInAMissingDirectoryGivesMessage72) {
    std::string target = Path("no such directory\\report.txt");
    std::string out = CaptureOutput([&] { EXPECT_EQ(ExportServerLists(target.c_str()), 0); });
    EXPECT_EQ(out, Msg(72));
    EXPECT_TRUE(Probes.empty());
}

}  // namespace
