// Session calls of the stand-in library (caller code, alerts), the ordinals
// the program binds but never calls, file copies and the call log.

#include <ctime>

#include "lab_fixture.h"

namespace {

class LabSessionTest : public LabTest {};

uint32_t Minutes() { return static_cast<uint32_t>(std::time(nullptr) / 60); }

TEST_F(LabSessionTest, CallerCodeIsAcceptedWithinTwoMinutes) {
    struct Case {
        int skew;
        product::Status status;
    };
    const Case cases[] = {{0, 0},  {2, 0},  {-2, 0},  {3, product::kSessionRefused},
                          {-3, product::kSessionRefused}, {100000, product::kSessionRefused}};
    for (const Case& c : cases)
        EXPECT_EQ(lib_.PresentCallerCode((Minutes() + c.skew) ^ product::kCallerCodeKey), c.status)
            << "skew " << c.skew;
    EXPECT_EQ(lib_.PresentCallerCode(Minutes()), product::kSessionRefused) << "code without key";
}

TEST_F(LabSessionTest, ALabCanMakeTheProgramsCallerCodeWrong) {
    Load("lab caller-key=0x12345678\n");
    EXPECT_EQ(lib_.PresentCallerCode(Minutes() ^ product::kCallerCodeKey),
              product::kSessionRefused);
    EXPECT_EQ(lib_.PresentCallerCode(Minutes() ^ 0x12345678u), 0u);
}

std::string alertSeen;
int alertCalls = 0;
uint32_t WINAPI FirstAlert(const product::AlertRecord* record) {
    ++alertCalls;
    alertSeen = record && record->virusName ? record->virusName : "(null)";
    return 0;
}
uint32_t WINAPI SecondAlert(const product::AlertRecord*) { return 0; }

TEST_F(LabSessionTest, AlertIsReportedToTheFirstCallbackAtRegistration) {
    alertCalls = 0;
    HANDLE quiet = lib_.RegisterAlertCallbacks(FirstAlert, SecondAlert);
    EXPECT_NE(quiet, nullptr);
    EXPECT_EQ(alertCalls, 0);
    EXPECT_EQ(lib_.UnregisterAlertCallbacks(quiet), 0u);

    Load("lab alert=\"EICAR test 100%\"\n");
    HANDLE alerted = lib_.RegisterAlertCallbacks(FirstAlert, SecondAlert);
    EXPECT_NE(alerted, nullptr);
    EXPECT_EQ(alertCalls, 1);
    EXPECT_EQ(alertSeen, "EICAR test 100%");
    EXPECT_EQ(lib_.UnregisterAlertCallbacks(alerted), 0u);
}

TEST_F(LabSessionTest, UncalledOrdinalsAnswerNotSupported) {
    std::vector<WORD> ordinals(std::begin(product::kUncalledOrdinals),
                               std::end(product::kUncalledOrdinals));
    ordinals.push_back(product::kOrdOptionalFirst);
    ordinals.push_back(product::kOrdOptionalSecond);
    for (WORD ordinal : ordinals) {
        auto call = reinterpret_cast<product::UncalledFn>(
            reinterpret_cast<void*>(lib_.Ordinal(ordinal)));
        ASSERT_NE(call, nullptr) << ordinal;
        EXPECT_EQ(call(), product::kOperationMissing) << ordinal;
    }
}

class LabFileCopyTest : public LabTest {
protected:
    void SetUp() override {
        LabTest::SetUp();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        local_ = std::string(temp) + "perchman-lab-copy";
        lab::ResetNetwork();
        RemoveDirectoryTree();
        CreateDirectoryA(local_.c_str(), nullptr);
    }
    void TearDown() override {
        RemoveDirectoryTree();
        LabTest::TearDown();
    }
    void RemoveDirectoryTree() {
        DeleteFileA((local_ + "\\out.txt").c_str());
        RemoveDirectoryA(local_.c_str());
    }
    std::string local_;
};

TEST_F(LabFileCopyTest, CopiesFromTheServersAreaAndOverwrites) {
    Load("server S\n"
         "file S $\\WDR\\wdrtoken.txt first line\n"
         "file S $\\WDR\\wdrtoken.txt second line\n");
    std::string out = local_ + "\\out.txt";
    ASSERT_TRUE(lab::WriteServerFile("S", "$\\old.txt", "old"));
    ASSERT_EQ(lib_.RemoteFileCopy("S", "$\\old.txt", 0, out.c_str(), 1), 0u);
    ASSERT_EQ(lib_.RemoteFileCopy("s", "$\\WDR\\wdrtoken.txt", 0, out.c_str(), 1), 0u);
    EXPECT_EQ(lab::ReadLocalFile(out), "first line\r\nsecond line\r\n");
}

TEST_F(LabFileCopyTest, FailuresAndPathsThatLeaveTheArea) {
    Load("server S\n"
         "server OTHER\n"
         "server GONE down timeout=0\n"
         "file S $\\a\\b.txt inside\n"
         "file OTHER $\\secret.txt secret\n");
    std::string out = local_ + "\\out.txt";
    struct Case {
        const char* server;
        const char* remote;
        std::string local;
        product::Status status;
    };
    const Case cases[] = {
        {"S", "$\\a\\missing.txt", out, ERROR_FILE_NOT_FOUND},
        {"S", "$\\a\\b.txt", local_ + "\\no\\such\\dir\\out.txt", ERROR_PATH_NOT_FOUND},
        {"GONE", "$\\a\\b.txt", out, product::kCommTimeout},
        {"NOBODY", "$\\a\\b.txt", out, product::kCommTimeout},
        {"S", "$\\..\\OTHER\\secret.txt", out, ERROR_INVALID_NAME},
        {"S", "$\\a\\..\\..\\OTHER\\secret.txt", out, ERROR_INVALID_NAME},
        {"S", "$\\a/../../OTHER/secret.txt", out, ERROR_INVALID_NAME},
        {"S", "a\\b.txt", out, ERROR_INVALID_NAME},
        {"S", "$\\\\OTHER\\secret.txt", out, ERROR_INVALID_NAME},
        {"S", "$\\C:\\Windows\\win.ini", out, ERROR_INVALID_NAME},
        {"S", "$\\", out, ERROR_INVALID_NAME},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lib_.RemoteFileCopy(c.server, c.remote, 0, c.local.c_str(), 1), c.status)
            << c.server << " " << c.remote;
        EXPECT_FALSE(lab::ReadLocalFile(out).has_value()) << c.remote;
    }
}

TEST_F(LabSessionTest, CallLogRecordsWhatWasAskedOfServers) {
    Load("lab record\n"
         "server S\n"
         "dword S - UsingPattern 1\n");
    std::vector<uint8_t> block;
    Read("S", "", "UsingPattern", &block);
    Read("NOBODY", "ProductControl", "RoamManagingParentLevel1", &block);
    lib_.DeleteServerValue("S", "ProductControl", "X");
    EXPECT_EQ(lab::CallLogLines(),
              (std::vector<std::string>{
                  "ReadServerValues S - UsingPattern",
                  "ReadServerValues NOBODY ProductControl RoamManagingParentLevel1",
                  "DeleteServerValue S ProductControl X"}));
    lab::ClearCallLog();
    ASSERT_TRUE(lab::RecordCalls(false));
    Read("S", "", "UsingPattern", &block);
    EXPECT_TRUE(lab::CallLogLines().empty());
}

}  // namespace
