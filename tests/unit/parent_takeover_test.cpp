#include <gtest/gtest.h>

#include <shlwapi.h>

#include "platform/system_functions.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "takeover/takeovers.h"
#include "engine_fakes.h"
#include "takeover_fixture.h"

namespace takeover_test {
namespace {

constexpr char kGuid[] = "\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f";
constexpr char kSharedUsage[] = "SOFTWARE\\Brevanta\\SharedUsage";
constexpr char kSkyDirectory[] = "C:\\PerchmanLab\\TakeoverTest\\Sky";
constexpr char kSkyHistory[] = "C:\\PerchmanLab\\TakeoverTest\\Sky\\Skyfetch.hst";

class ParentTakeover : public TakeoverTest {
protected:
    void SetUp() override {
        TakeoverTest::SetUp();
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, kSharedUsage);
        SetRootBinary("GUID", std::string(kGuid, 16));
    }
    void TearDown() override {
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, kSharedUsage);
        TakeoverTest::TearDown();
    }
    std::string RecordKey() {
        return "Clients\\" + ComputerName() + "_::_03020100070605040b0a09080f0e0d0c";
    }
    int Run(const char* server) {
        Capture();
        int result = TakeOverParent(server);
        output_ = Captured();
        return result;
    }
};

TEST_F(ParentTakeover, ParentAlreadyOwningTheMachineChangesNothingButLastParent) {
    SetRootString("Parent", "SRV01");
    SetRootString("LastParent", "OLD");
    EXPECT_EQ(1, Run("srv01"));
    EXPECT_EQ("", output_);
    EXPECT_FALSE(HpdFileExists());
    EXPECT_FALSE(ControlDword("ProcessHPDNow"));
    EXPECT_FALSE(RootValue("HPDUpdateTime"));
    EXPECT_FALSE(RootValue("LastParent"));
    EXPECT_EQ(std::string("SRV01\0", 6), RootValue("Parent").value_or(""));
    EXPECT_TRUE(Servers().deletedKeys.empty());
    EXPECT_FALSE(ProductServiceRunning());
}

TEST_F(ParentTakeover, ReconnectionAfterShutdownWritesTheShortFormWithoutWaiting) {
    SetRootString("Parent", kMarker);
    SetRootString("LastParent", "SRV01");
    DWORD start = GetTickCount();
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ("", output_);
    EXPECT_EQ(ShortForm(), ReadHpdFile());
    // The count excludes the terminator, but the system's registry adds one
    // that follows the counted bytes, as NT does.
    DWORD type = 0;
    EXPECT_EQ(std::string("SRV01\0", 6), RootValue("Parent", &type).value_or("?"));
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    EXPECT_EQ(1u, ControlDword("ProcessHPDNow").value_or(0));
    EXPECT_FALSE(RootValue("HPDUpdateTime"));
    EXPECT_FALSE(RootValue("LastParent"));
    EXPECT_TRUE(Servers().deletedKeys.empty());
    EXPECT_TRUE(Servers().copies.empty());
    EXPECT_FALSE(ProductServiceRunning());
}

// A switch cut by a stop leaves a file the product has not taken in yet; a
// reconnection to the same parent at the next start must not shrink it to
// the short form, which names no parent's folders.
TEST_F(ParentTakeover, ReconnectionHandsTheWholeFormOverWhileTheLastFileIsUntaken) {
    for (DWORD pending : {1u, 0u}) {
        SCOPED_TRACE(pending ? "file untaken" : "file taken in");
        SetRootString("Parent", kMarker);
        SetRootString("LastParent", "SRV01");
        SetControlDword("ProcessHPDNow", pending);
        EXPECT_EQ(1, Run("SRV01"));
        EXPECT_EQ("", output_);
        EXPECT_EQ(pending ? FullForm("SRV01") : ShortForm(), ReadHpdFile());
        EXPECT_EQ(std::string("SRV01\0", 6), RootValue("Parent").value_or("?"));
        EXPECT_EQ(1u, ControlDword("ProcessHPDNow").value_or(0));
        EXPECT_FALSE(RootValue("LastParent"));
        EXPECT_TRUE(Servers().deletedKeys.empty());
        EXPECT_FALSE(ProductServiceRunning());
    }
}

struct PreviousParentCase {
    const char* name;
    const char* parent;      // nullptr: absent
    const char* lastParent;  // nullptr: absent
    const char* removedFrom;  // nullptr: no record removed
};

class ParentSwitch : public ParentTakeover,
                     public ::testing::WithParamInterface<PreviousParentCase> {};

TEST_P(ParentSwitch, RemovesTheRecordOnlyFromARealOldParent) {
    const PreviousParentCase& c = GetParam();
    if (c.parent) SetRootString("Parent", c.parent);
    if (c.lastParent) SetRootString("LastParent", c.lastParent);
    SetRootDword("Connected", 1);
    StartProduct();

    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ("", output_) << "a managed, running product is neither stopped nor started";
    EXPECT_EQ(FullForm("SRV01"), ReadHpdFile());
    if (c.removedFrom) {
        ASSERT_EQ(1u, Servers().deletedKeys.size());
        EXPECT_EQ(c.removedFrom, Servers().deletedKeys[0].server);
        EXPECT_EQ(RecordKey(), Servers().deletedKeys[0].path);
    } else {
        EXPECT_TRUE(Servers().deletedKeys.empty());
    }
    // What the product took in from the file, and its confirmation.
    EXPECT_EQ(std::string("SRV01\0", 6), RootValue("Parent").value_or(""));
    EXPECT_EQ(std::string("\\SRV01\\FWALERT$\0", 16), RootValue("AlertDirectory").value_or(""));
    EXPECT_NE(std::string("\x00\x00\x00\x47\x47\x47\x00\x00", 8),
              RootValue("HPDUpdateTime").value_or(""));
    EXPECT_EQ(0u, ControlDword("ProcessHPDNow").value_or(1));
    EXPECT_FALSE(RootValue("LastParent"));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

INSTANTIATE_TEST_SUITE_P(
    PreviousParents, ParentSwitch,
    ::testing::Values(PreviousParentCase{"RealOldParent", "OLD", nullptr, "OLD"},
                      PreviousParentCase{"NameDifferingByAHyphen", "SRV-01", nullptr, "SRV-01"},
                      PreviousParentCase{"MarkerWithOtherLastParent", kMarker, "OLD", "OLD"},
                      PreviousParentCase{"EmptyWithLastParent", "", "OLD", "OLD"},
                      PreviousParentCase{"EmptyWithoutLastParent", "", nullptr, nullptr},
                      PreviousParentCase{"Missing", nullptr, nullptr, nullptr},
                      PreviousParentCase{"MissingWithLastParent", nullptr, "OLD", nullptr},
                      PreviousParentCase{"MarkerWithoutLastParent", kMarker, nullptr, nullptr}),
    [](const ::testing::TestParamInfo<PreviousParentCase>& info) { return info.param.name; });

TEST_F(ParentTakeover, UnreadableGuidSkipsTheRecordRemoval) {
    SetRootBinary("GUID", "\x01\x02");
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    StartProduct();
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_TRUE(Servers().deletedKeys.empty());
}

TEST_F(ParentTakeover, UnmanagedRunningProductIsStoppedAndStarted) {
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 0);
    StartProduct();
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ(Text(76), output_);
    EXPECT_EQ(2u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
    EXPECT_TRUE(ProductServiceRunning());
}

TEST_F(ParentTakeover, UnreadableConnectedCountsAsUnmanaged) {
    SetRootString("Parent", "OLD");
    StartProduct();
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ(Text(76), output_);
    EXPECT_EQ(2u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

// Four bytes of text are no connection state: read as missing, not as non-zero.
TEST_F(ParentTakeover, MistypedConnectedCountsAsUnmanaged) {
    SetRootString("Parent", "OLD");
    SetRootString("Connected", "abc");
    StartProduct();
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ(Text(76), output_);
    EXPECT_EQ(2u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

TEST_F(ParentTakeover, StoppedProductIsStartedAndTakesTheFileIn) {
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ(Text(81), output_);
    EXPECT_TRUE(ProductServiceRunning());
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
    EXPECT_EQ(0u, ControlDword("ProcessHPDNow").value_or(1));
}

TEST_F(ParentTakeover, FileThatCannotBeCreatedChangesNoValue) {
    SetRootString("Home Directory", "C:\\PerchmanLab\\TakeoverTest\\Missing");
    SetRootString("Parent", "OLD");
    SetRootString("LastParent", "OTHER");
    SetRootDword("Connected", 1);
    EXPECT_EQ(0, Run("SRV01"));
    // The file is written beside its place first: the system finds no folder.
    std::string expected = Text(78) + " - " + Text(2) + " (10b) ";
    EXPECT_EQ(expected, output_.substr(0, expected.size()));
    EXPECT_EQ(std::string("OLD\0", 4), RootValue("Parent").value_or(""));
    EXPECT_FALSE(RootValue("HPDUpdateTime"));
    EXPECT_FALSE(ControlDword("ProcessHPDNow"));
    EXPECT_FALSE(RootValue("LastParent"));
    ASSERT_EQ(1u, Servers().deletedKeys.size());  // removed before the file was tried
    EXPECT_EQ("OLD", Servers().deletedKeys[0].server);
}

// A line break in the name would add lines of its own to the product's
// configuration: the file is refused as for a name that cannot be a file's.
TEST_F(ParentTakeover, NameWithALineBreakIsRefusedAndChangesNoValue) {
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    EXPECT_EQ(0, Run("SRV01\r\nParent=SEVIL"));
    std::string expected = Text(78) + " - " + Text(2) + " (7b) ";
    EXPECT_EQ(expected, output_.substr(0, expected.size()));
    EXPECT_EQ(std::string("OLD\0", 4), RootValue("Parent").value_or(""));
    EXPECT_FALSE(RootValue("HPDUpdateTime"));
    EXPECT_FALSE(ControlDword("ProcessHPDNow"));
}

// A home directory that names no place for the file, on a switch and on a
// reconnection: message 78, result 0, and neither "Parent" nor the request to
// the product is written. Without a home directory the file would land at the
// root of the current drive, where the product never looks.
TEST_F(ParentTakeover, FileWithoutAPlaceIsRefusedAndChangesNoValue) {
    struct Case {
        const char* name;
        std::optional<std::string> home;
        const char* previous;  // "Parent"; the marker means a reconnection to SRV01
        const char* error;
    };
    const Case cases[] = {
        {"empty", "", "OLD", "3"},
        {"absent", std::nullopt, "OLD", "3"},
        {"too long", "C:\\" + std::string(300, 'h'), "OLD", "ce"},
        {"reconnection, missing directory", "C:\\PerchmanLab\\TakeoverTest\\Missing", kMarker,
         "10b"},
        {"reconnection, empty", "", kMarker, "3"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        RegDeleteValueA(Keys.Root, "Home Directory");
        if (c.home) SetRootString("Home Directory", *c.home);
        SetRootString("Parent", c.previous);
        SetRootString("LastParent", "SRV01");
        EXPECT_EQ(0, Run("SRV01"));
        std::string expected = Text(78) + " - " + Text(2) + " (" + c.error + ") ";
        EXPECT_EQ(expected, output_.substr(0, expected.size()));
        EXPECT_EQ(std::string(c.previous) + '\0', RootValue("Parent").value_or(""));
        EXPECT_FALSE(RootValue("HPDUpdateTime"));
        EXPECT_FALSE(ControlDword("ProcessHPDNow"));
        EXPECT_FALSE(RootValue("LastParent"));
    }
}

// The new file cannot take the old one's place (the product holds HPD.DAT
// open): message 78 with the move's error, the old file as it was, "Parent"
// put back, the product not asked, and nothing left beside the file.
TEST_F(ParentTakeover, FileThatCannotTakeItsPlaceLeavesTheOldOneAndTheParent) {
    WriteHpdFile(kPreviousHpdFile);
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    HANDLE reader = CreateFileA(kHpdPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_EQ(0, Run("SRV01"));
    CloseHandle(reader);
    std::string prefix = Text(78) + " - " + Text(2) + " (";
    EXPECT_EQ(prefix, output_.substr(0, prefix.size())) << output_;
    EXPECT_EQ(kPreviousHpdFile, ReadHpdFile());
    EXPECT_EQ(FilesIn(kHome), std::vector<std::string>{"HPD.DAT"});
    EXPECT_EQ(std::string("OLD\0", 4), RootValue("Parent").value_or(""));
    EXPECT_FALSE(RootValue("HPDUpdateTime"));
    EXPECT_FALSE(ControlDword("ProcessHPDNow"));
}

// Only a successful read of all eight bytes of the update time confirms: a
// shorter value written meanwhile is not the product's answer.
TEST_F(ParentTakeover, ConfirmationCountsOnlyAWholeUpdateTime) {
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 1);
    StartProduct();
    static DWORD confirmedAt;
    confirmedAt = 0;
    HANDLE thread = CreateThread(
        nullptr, 0,
        [](void*) WINAPI -> DWORD {
            HKEY root = nullptr;
            HKEY control = nullptr;
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kestrel::kProductRoot, 0, KEY_ALL_ACCESS, &root);
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, kestrel::kProductControl, 0, KEY_READ, &control);
            // Once the product has taken the file in, the takeover waits for
            // the update time.
            DWORD flag = 1;
            DWORD start = GetTickCount();
            do {
                Sleep(5);
                DWORD size = sizeof flag;
                RegQueryValueExA(control, "ProcessHPDNow", nullptr, nullptr,
                                 reinterpret_cast<BYTE*>(&flag), &size);
            } while (flag != 0 && GetTickCount() - start < 10000);
            const BYTE part[] = {1, 2, 3, 4};
            RegSetValueExA(root, "HPDUpdateTime", 0, REG_BINARY, part, sizeof part);
            Sleep(500);
            confirmedAt = GetTickCount();
            const BYTE whole[] = {1, 2, 3, 4, 5, 6, 7, 8};
            RegSetValueExA(root, "HPDUpdateTime", 0, REG_BINARY, whole, sizeof whole);
            RegCloseKey(control);
            RegCloseKey(root);
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    EXPECT_EQ(1, Run("SRV01"));
    DWORD returnedAt = GetTickCount();
    WaitForSingleObject(thread, INFINITE);
    CloseHandle(thread);
    EXPECT_NE(confirmedAt, 0u);
    EXPECT_LE(static_cast<LONG>(confirmedAt - returnedAt), 0)
        << "returned before the whole update time was written";
}

class UpdateHistory : public ParentTakeover {
protected:
    void SetUp() override {
        ParentTakeover::SetUp();
        SetRootDword("Connected", 1);
        StartProduct();
        CreateDirectoryA(kSkyDirectory, nullptr);
        DeleteFileA(kSkyHistory);
    }
    void TearDown() override {
        DeleteFileA(kSkyHistory);
        RemoveDirectoryA(kSkyDirectory);
        ParentTakeover::TearDown();
    }
    void SetSkyFetch(const std::string& directory) {
        HKEY key = nullptr;
        ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kSharedUsage, 0, nullptr, 0,
                                                 KEY_ALL_ACCESS, nullptr, &key, nullptr));
        RegSetValueExA(key, "SkyFetch1", 0, REG_SZ, reinterpret_cast<const BYTE*>(directory.c_str()),
                       static_cast<DWORD>(directory.size() + 1));
        RegCloseKey(key);
    }
};

TEST_F(UpdateHistory, IsCopiedFromTheNewParent) {
    SetControlString("ParentSkyFetchHstPath", "Hist\\Skyfetch.hst");
    SetSkyFetch(kSkyDirectory);
    EXPECT_EQ(1, Run("SRV01"));
    ASSERT_EQ(1u, Servers().copies.size());
    EXPECT_EQ("SRV01", Servers().copies[0].server);
    EXPECT_EQ("$\\Hist\\Skyfetch.hst", Servers().copies[0].path);
    EXPECT_EQ(kServerHpdFile, ReadHpdFile(kSkyHistory));
    EXPECT_EQ(FilesIn(kSkyDirectory), std::vector<std::string>{"Skyfetch.hst"});
}

// The copy breaks off half-way: the history the update client has stays.
TEST_F(UpdateHistory, CopyFailureIsReportedWithItsStatusAndDoesNotFailTheTakeover) {
    SetControlString("ParentSkyFetchHstPath", "Hist\\Skyfetch.hst");
    SetSkyFetch(kSkyDirectory);
    WriteHpdFile("history\r\n", kSkyHistory);
    Servers().copyStatus = 5;
    EXPECT_EQ(1, Run("SRV01"));
    std::string expected = Text(158, "SRV01", "$\\Hist\\Skyfetch.hst", kSkyHistory, 5, 5) +
                           Text(77) + " - " + Text(2) + " (5)\n \n";
    EXPECT_EQ(expected, output_);
    EXPECT_EQ("history\r\n", ReadHpdFile(kSkyHistory));
    EXPECT_EQ(FilesIn(kSkyDirectory), std::vector<std::string>{"Skyfetch.hst"});
}

TEST_F(UpdateHistory, MissingOrEmptyPathsCopyNothing) {
    struct Case {
        const char* remote;
        const char* local;
    };
    for (Case c : {Case{nullptr, kSkyDirectory}, Case{"", kSkyDirectory},
                   Case{"Hist\\Skyfetch.hst", nullptr}, Case{"Hist\\Skyfetch.hst", ""}}) {
        if (c.remote) SetControlString("ParentSkyFetchHstPath", c.remote);
        SHDeleteKeyA(HKEY_LOCAL_MACHINE, kSharedUsage);
        if (c.local) SetSkyFetch(c.local);
        SetRootString("Parent", "OLD");
        EXPECT_EQ(1, Run("SRV01"));
        EXPECT_EQ("", output_);
        EXPECT_TRUE(Servers().copies.empty());
    }
}

class ParentTakeoverWin9x : public ParentTakeover {
protected:
    void SetUp() override {
        ParentTakeover::SetUp();
        EngineFunctions.IsWin9x = 1;
        // The stand-in service still takes the file in; the program asks the
        // control object whether the product runs, and starts and stops it.
        StartProduct();
    }
};

TEST_F(ParentTakeoverWin9x, StoppedProductIsStartedThroughTheControlObject) {
    SetRootDword("Orientation", kestrel::kOrientationStopped);
    SetRootDword("Connected", 1);
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ(Text(81), output_);
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStartCallsValue));
    EXPECT_EQ(0u, kestrel::ReadBehaviour(kestrel::kStopCallsValue));
    EXPECT_EQ(kestrel::kOrientationRunning, RootDword("Orientation").value_or(0));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

TEST_F(ParentTakeoverWin9x, UnmanagedProductIsStoppedAndStartedThroughTheControlObject) {
    SetRootDword("Orientation", 1);
    SetRootDword("Connected", 0);
    EXPECT_EQ(1, Run("SRV01"));
    EXPECT_EQ(Text(76), output_);
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStopCallsValue));
    EXPECT_EQ(1u, kestrel::ReadBehaviour(kestrel::kStartCallsValue));
    // The fixture's start and the control object's: the service control
    // manager is not used on Windows 9x.
    EXPECT_EQ(2u, kestrel::ReadBehaviour(kestrel::kServiceStartsValue));
}

// A stop of the engine ends the waits for the product as their own time-out
// does: the file and the values stay for the product to take in later.
TEST_F(ParentTakeover, AStopEndsTheWaitsForTheProductAsTheirTimeOutDoes) {
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 1);
    StartProduct();
    DWORD elapsed = 0;
    {
        engine_test::DelayedStop stop(300);
        DWORD start = GetTickCount();
        int result = -1;
        engine_test::ExpectGivesWayWithin(5000, [&] { result = Run("SRV01"); });
        elapsed = GetTickCount() - start;
        EXPECT_EQ(0, result);
    }
    EXPECT_LT(elapsed, 3000u);
    EXPECT_EQ(std::string("\x00\x00\x00\x47\x47\x47\x00\x00", 8),
              RootValue("HPDUpdateTime").value_or(""));
    EXPECT_EQ(FullForm("SRV01"), ReadHpdFile());
    EXPECT_FALSE(RootValue("LastParent"));
}

// Takes the full 60 seconds of the confirmation wait: "SlowWait" in its name
// lets a run leave it out with --gtest_filter=-*SlowWait*.
TEST_F(ParentTakeover, SlowWaitForAProductThatNeverConfirmsFailsAfterSixtySeconds) {
    SetRootString("Parent", "OLD");
    SetRootDword("Connected", 1);
    kestrel::SetBehaviour(kestrel::kNeverConfirmValue, 1);
    StartProduct();
    DWORD start = GetTickCount();
    EXPECT_EQ(0, Run("SRV01"));
    DWORD elapsed = GetTickCount() - start;
    EXPECT_GE(elapsed, 60000u);
    EXPECT_LT(elapsed, 63000u);
    EXPECT_EQ(std::string("\x00\x00\x00\x47\x47\x47\x00\x00", 8),
              RootValue("HPDUpdateTime").value_or(""));
    EXPECT_EQ(FullForm("SRV01"), ReadHpdFile());
    EXPECT_FALSE(RootValue("LastParent"));
}

}  // namespace
}  // namespace takeover_test
