// The parent and HPD takeovers with the program's own start-up, under emulated
// Windows versions, against the lab's product library and network and the
// product stand-in running in the prefix.

#include <windows.h>
#include <shlobj.h>

#include <string>

#include "harness/harness.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet/labnet.h"

namespace {

using e2e::Crlf;
using e2e::FormatMessageText;
using e2e::Message;
using e2e::Windows;

constexpr char kHome[] = "C:\\PerchmanLab\\E2EHome";
constexpr char kHpdPath[] = "C:\\PerchmanLab\\E2EHome\\HPD.DAT";
constexpr const char* kMarker = e2e::kParentMarker;
constexpr char kSentinel[] = "\x00\x00\x00\x47\x47\x47\x00\x00";

std::string RecordKey() { return e2e::TestClientRecordKey(); }

std::string FullForm(const std::string& parent) {
    return Crlf("[KEYS]\n!KEY!=$REGROOT$\nAlertDirectory=S\\" + parent + "\\FWALERT$\n" +
                "RemoteHomeDirectory=S\\" + parent + "\\FWHOME\nParent=S" + parent + "\n" +
                "FullHPDUpdateCounter=D1\nHPDUpdateTime=B0000004747470000\nConnected=D1\n");
}

std::string ShortForm() {
    return Crlf("[KEYS]\n!KEY!=$REGROOT$\nConnected=D1\nHPDUpdateTime=B0000004747470000\n");
}

class TakeoverE2E : public e2e::ProductTest {
protected:
    void SetUp() override {
        e2e::ProductTest::SetUp();
        ASSERT_EQ(0u, kestrel::InstallService(e2e::BuildPath("lab")));
        ASSERT_EQ(0u, kestrel::RegisterControlObject(e2e::BuildPath("lab")));
        kestrel::StopService();
        kestrel::ResetBehaviour();
        CreateDirectoryA("C:\\PerchmanLab", nullptr);
        CreateDirectoryA(kHome, nullptr);
        DeleteFileA(kHpdPath);
        Root("Home Directory", kHome);
        e2e::SetBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "GUID", e2e::kTestGuid);
    }
    void TearDown() override {
        kestrel::RemoveProduct();
        DeleteFileA(kHpdPath);
        RemoveDirectoryA(kHome);
        e2e::ProductTest::TearDown();
    }
    void Load(const std::string& network) {
        std::string error;
        ASSERT_TRUE(lab::LoadNetwork(network, &error)) << error;
    }
    static void Root(const char* name, const std::string& text) {
        e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, name, text);
    }
    static void RootDword(const char* name, DWORD value) {
        e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductRoot, name, value);
    }
    static std::optional<std::string> RootText(const char* name) {
        return e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, name);
    }
    static std::string HpdFile() {
        return lab::ReadLocalFile(kHpdPath).value_or("<no file>");
    }
    static e2e::RunResult Entry(const char* role, const char* server,
                                Windows version = Windows::XP) {
        e2e::RunOptions options;
        options.version = version;
        return e2e::RunProgram(e2e::BuildPath("tests\\takeover_entry.exe"), {role, server},
                               options);
    }
    static bool Contains(const std::string& out, const std::string& part) {
        return out.find(part) != std::string::npos;
    }
};

constexpr char kOneParent[] =
    "server SRV01 latency=2 pattern=3\n"
    "server OLD latency=2\n"
    "key OLD Clients\\" /* completed at run time */;

std::string NetworkWithOldRecord() {
    return std::string(kOneParent) + RecordKey().substr(8) + "\n" +
           "list <local> Parent 0 SRV01\n";
}

TEST_F(TakeoverE2E, SwitchWritesTheFileRemovesTheOldRecordAndCopiesTheHistory) {
    Load(NetworkWithOldRecord() +
         "string <local> ProductControl ParentSkyFetchHstPath hist\\Skyfetch.hst\n"
         "file SRV01 $\\hist\\Skyfetch.hst history-of-SRV01\n");
    ASSERT_TRUE(lab::KeyExists("OLD", RecordKey()));
    CreateDirectoryA("C:\\PerchmanLab\\E2ESky", nullptr);
    DeleteFileA("C:\\PerchmanLab\\E2ESky\\Skyfetch.hst");
    e2e::SetString(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevanta\\SharedUsage", "SkyFetch1",
                   "C:\\PerchmanLab\\E2ESky");
    Root("Parent", "OLD");
    RootDword("Connected", 1);
    ASSERT_EQ(0u, kestrel::StartService());

    e2e::RunResult run = Entry("parent", "SRV01");
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_BYTES_EQ(Crlf(FormatMessageText(158, "SRV01", "$\\hist\\Skyfetch.hst",
                                           "C:\\PerchmanLab\\E2ESky\\Skyfetch.hst", 0, 0)),
                    run.out);
    EXPECT_BYTES_EQ(FullForm("SRV01"), HpdFile());
    EXPECT_FALSE(lab::KeyExists("OLD", RecordKey()));
    EXPECT_EQ("SRV01", RootText("Parent").value_or(""));
    EXPECT_NE(std::string(kSentinel, 8),
              e2e::ReadBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "HPDUpdateTime").value_or(""));
    EXPECT_EQ(Crlf("history-of-SRV01\n"),
              lab::ReadLocalFile("C:\\PerchmanLab\\E2ESky\\Skyfetch.hst").value_or(""));
    e2e::DeleteKeyTree(HKEY_LOCAL_MACHINE, "SOFTWARE\\Brevanta");
    DeleteFileA("C:\\PerchmanLab\\E2ESky\\Skyfetch.hst");
    RemoveDirectoryA("C:\\PerchmanLab\\E2ESky");
}

// A fleet's product stand-in registers with the parent its file names, as
// the product does; a lone machine's lab leaves the parents' clients to the
// test.
TEST_F(TakeoverE2E, TheProductRegistersWithItsNewParentWhenTheLabAsks) {
    for (bool asked : {false, true}) {
        Load(NetworkWithOldRecord());
        Root("Parent", "OLD");
        RootDword("Connected", 1);
        kestrel::ResetBehaviour();
        if (asked) kestrel::SetBehaviour(kestrel::kRegistersValue, 1);
        ASSERT_EQ(0u, kestrel::StartService());
        e2e::RunResult run = Entry("parent", "SRV01");
        ASSERT_TRUE(e2e::Finished(run));
        EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
        EXPECT_EQ(asked, lab::KeyExists("SRV01", RecordKey())) << "asked " << asked;
        if (asked) {
            EXPECT_EQ(1u, lab::ReadDword("SRV01", RecordKey(), "good").value_or(0));
        }
        EXPECT_FALSE(lab::KeyExists("OLD", RecordKey()));
        kestrel::StopService();
    }
}

TEST_F(TakeoverE2E, ReconnectionAfterShutdownIsImmediateAndShort) {
    Load("server SRV01 latency=2\nlist <local> Parent 0 SRV01\n");
    Root("Parent", kMarker);
    Root("LastParent", "srv01");
    DWORD start = GetTickCount();
    e2e::RunResult run = Entry("parent", "SRV01");
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_LT(GetTickCount() - start, 10000u) << "no wait for the product";
    EXPECT_EQ("", run.out);
    EXPECT_BYTES_EQ(ShortForm(), HpdFile());
    EXPECT_EQ("SRV01", RootText("Parent").value_or(""));
    EXPECT_FALSE(RootText("LastParent"));
    EXPECT_EQ(1u, e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "ProcessHPDNow").value_or(0));
    EXPECT_EQ(0u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue)) << "no restart";
}

TEST_F(TakeoverE2E, StoppedProductIsStartedOnEveryNtVersion) {
    for (Windows version : {Windows::NT4, Windows::Win2000, Windows::XP}) {
        SCOPED_TRACE(e2e::WineVersionName(version));
        Load("server SRV01 latency=2\nlist <local> Parent 0 SRV01\n");
        Root("Parent", "OLD");
        RootDword("Connected", 1);
        kestrel::StopService();
        e2e::RunResult run = Entry("parent", "SRV01", version);
        ASSERT_TRUE(e2e::Finished(run));
        EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
        EXPECT_BYTES_EQ(Crlf(Message(81)), run.out);
        EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), kestrel::ServiceState());
        EXPECT_BYTES_EQ(FullForm("SRV01"), HpdFile());
    }
}

TEST_F(TakeoverE2E, UnmanagedProductIsRestarted) {
    Load("server SRV01 latency=2\nlist <local> Parent 0 SRV01\n");
    RootDword("Connected", 0);
    ASSERT_EQ(0u, kestrel::StartService());
    e2e::RunResult run = Entry("parent", "SRV01");
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_BYTES_EQ(Crlf(Message(76)), run.out);
    EXPECT_EQ(2u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

TEST_F(TakeoverE2E, Windows98StartsTheProductThroughItsControlObject) {
    Load("server SRV01 latency=2\nlist <local> Parent 0 SRV01\n");
    RootDword("Connected", 1);
    RootDword("Orientation", kestrel::kOrientationStopped);
    RootDword("ClientType", 1);  // Windows 9x has no all-users folder: the home directory
    // Stopped with it: the control object's start brings it up, and it takes the file in.
    kestrel::StopService();
    e2e::RunResult run = Entry("parent", "SRV01", Windows::Win98);
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_BYTES_EQ(Crlf(Message(81)), run.out);
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStartCallsValue));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
    EXPECT_EQ(kestrel::kOrientationRunning,
              e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Orientation").value_or(0));
    EXPECT_BYTES_EQ(FullForm("SRV01"), HpdFile());
}

TEST_F(TakeoverE2E, HpdServerFileIsFetchedAndTakenIn) {
    Load("server HPD1 latency=2\nlist <local> HPD 0 HPD1\n"
         "string <local> ProductControl ParentHPDPath cfg\\HPD.DAT\n"
         "file HPD1 $\\cfg\\HPD.DAT [KEYS]\nfile HPD1 $\\cfg\\HPD.DAT !KEY!=$REGROOT$\n"
         "file HPD1 $\\cfg\\HPD.DAT FromHpdServer=Syes\n");
    ASSERT_EQ(0u, kestrel::StartService());
    e2e::RunResult run = Entry("hpd", "HPD1");
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_EQ(Crlf("[KEYS]\n!KEY!=$REGROOT$\nFromHpdServer=Syes\n"), HpdFile());
    EXPECT_EQ("yes", RootText("FromHpdServer").value_or(""));
    EXPECT_FALSE(e2e::ValueExists(HKEY_LOCAL_MACHINE, e2e::kProductControl, "AccessCounter"));
}

TEST_F(TakeoverE2E, HpdServerWithoutAPathReportsMessage80) {
    Load("server HPD1 latency=2\nlist <local> HPD 0 HPD1\n");
    e2e::RunResult run = Entry("hpd", "HPD1");
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(0u, run.exitCode);
    std::string expected = Message(80) + " - " + Message(2) + " (2) ";
    EXPECT_TRUE(Contains(run.out, expected)) << e2e::Describe(run);
    EXPECT_EQ("<no file>", HpdFile());
}

TEST_F(TakeoverE2E, PrimaryOnWindows98CountsTheAccess) {
    Load("server PRI1 latency=2\nlist <local> Primary 0 PRI1\n"
         "string <local> ProductControl ParentHPDPath cfg\\HPD.DAT\n"
         "file PRI1 $\\cfg\\HPD.DAT [KEYS]\n");
    RootDword("Orientation", 1);
    ASSERT_EQ(0u, kestrel::StartService());
    e2e::RunResult run = Entry("primary", "PRI1", Windows::Win98);
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_EQ(1u, e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, "AccessCounter").value_or(0));
}

TEST_F(TakeoverE2E, NearestParentHandsTheWinnerToTheTakeover) {
    Load("server NEAR latency=2\nserver FAR latency=40\n"
         "list <local> Parent 0 FAR,NEAR\nlist NEAR Parent 1 \"\"\nlist FAR Parent 1 \"\"\n");
    RootDword("Connected", 1);
    ASSERT_EQ(0u, kestrel::StartService());
    e2e::RunResult run = e2e::RunPerchman({"/nearest_parent"});
    ASSERT_TRUE(e2e::Finished(run));
    std::string success = Crlf(FormatMessageText(96, "NEAR", 0));
    success = success.substr(0, success.find("0 ms"));
    EXPECT_TRUE(Contains(run.out, success)) << e2e::Describe(run);
    EXPECT_BYTES_EQ(FullForm("NEAR"), HpdFile());
    EXPECT_EQ("NEAR", RootText("Parent").value_or(""));
}

TEST_F(TakeoverE2E, Windows2000ClientOfTypeOneUsesTheAllUsersFolder) {
    Load("server SRV01 latency=2\n");
    RootDword("Connected", 1);
    RootDword("ClientType", 1);
    char common[MAX_PATH] = {};
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common));
    std::string directory = std::string(common) + "\\Brevanta\\Kestrel Corporate Edition\\7.5";
    SHCreateDirectoryExA(nullptr, directory.c_str(), nullptr);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(directory.c_str()));
    std::string hpd = directory + "\\HPD.DAT";
    DeleteFileA(hpd.c_str());
    ASSERT_EQ(0u, kestrel::StartService());
    e2e::RunResult run = Entry("parent", "SRV01", Windows::Win2000);
    ASSERT_TRUE(e2e::Finished(run));
    EXPECT_EQ(1u, run.exitCode) << e2e::Describe(run);
    EXPECT_BYTES_EQ(FullForm("SRV01"), lab::ReadLocalFile(hpd).value_or("<no file>"));
    EXPECT_EQ("<no file>", HpdFile()) << "not in the home directory";
    DeleteFileA(hpd.c_str());
}

}  // namespace
