// What a stop of the unattended program leaves behind, in both families: the
// NT service under Wine's service control manager and the Windows 9x
// background process as its startup key starts it, against the lab and the
// product stand-in.

#include <windows.h>

#include <optional>
#include <string>

#include "common/handles.h"
#include "harness/harness.h"
#include "harness/service_control.h"
#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"
#include "labnet/labnet.h"

namespace {

using e2e::Windows;

constexpr char kExeName[] = "perchman.exe";
constexpr char kHome[] = "C:\\PerchmanLab\\E2EStopHome";
constexpr char kHpdPath[] = "C:\\PerchmanLab\\E2EStopHome\\HPD.DAT";
constexpr char kStatus[] = "ZirRoamServiceStatus";
constexpr DWORD kStopAsked = 2;

enum class Family { Nt, Win9x };
const char* FamilyName(Family family) { return family == Family::Nt ? "NT service" : "Windows 9x"; }

std::optional<std::string> Root(const char* name) {
    return e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, name);
}

// The program in one family: started, and stopped the way its system stops it.
class Unattended {
public:
    explicit Unattended(Family family) : family_(family) {}
    ~Unattended() {
        if (family_ == Family::Nt) {
            e2e::StopPerchmanService();
            e2e::RemovePerchmanService();
        } else if (process_) {
            if (WaitForSingleObject(process_.get(), 0) != WAIT_OBJECT_0) {
                Ask();
                if (WaitForSingleObject(process_.get(), 15000) != WAIT_OBJECT_0)
                    TerminateProcess(process_.get(), 1);
            }
            e2e::SetWindowsVersion(kExeName, std::nullopt);
        }
    }
    Unattended(const Unattended&) = delete;
    Unattended& operator=(const Unattended&) = delete;

    bool Start() {
        if (family_ == Family::Nt)
            return e2e::InstallPerchmanService() == 0 &&
                   e2e::StartPerchmanService(Windows::XP) == 0;
        e2e::SetWindowsVersion(kExeName, Windows::Win98);
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductControl, kStatus);
        HANDLE process = nullptr;
        DWORD id = 0;
        bool started = e2e::StartUnattendedPerchman(&process, &id);
        process_.reset(process);
        return started;
    }
    // True when it ended within waitMs; its exit code (the service's Win32 one).
    bool Stop(DWORD waitMs, DWORD* exitCode) {
        if (family_ == Family::Nt) {
            e2e::ServiceStop stop = e2e::StopPerchmanService(waitMs);
            *exitCode = stop.status.dwWin32ExitCode;
            return stop.stopped;
        }
        Ask();
        bool ended = WaitForSingleObject(process_.get(), waitMs) == WAIT_OBJECT_0;
        GetExitCodeProcess(process_.get(), exitCode);
        return ended;
    }
    HANDLE Process() const { return process_.get(); }

private:
    static void Ask() { e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, kStatus, kStopAsked); }
    Family family_;
    KernelHandle process_;
};

class StopOutcomes : public e2e::ProductTest {
protected:
    void SetUp() override {
        e2e::ProductTest::SetUp();
        ASSERT_EQ(0u, kestrel::InstallService(e2e::BuildPath("lab")));
        ASSERT_EQ(0u, kestrel::RegisterControlObject(e2e::BuildPath("lab")));
        CreateDirectoryA("C:\\PerchmanLab", nullptr);
        CreateDirectoryA(kHome, nullptr);
        Reset();
    }
    void TearDown() override {
        kestrel::StopProduct();
        kestrel::UninstallService();
        kestrel::UnregisterControlObject();
        kestrel::ResetBehaviour();
        DeleteFileA(kHpdPath);
        RemoveDirectoryA(kHome);
        e2e::ProductTest::TearDown();
    }
    void Reset() {
        kestrel::StopProduct();
        kestrel::ResetBehaviour();
        DeleteFileA(kHpdPath);
        e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Home Directory", kHome);
        e2e::SetBinary(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "GUID", e2e::kTestGuid);
        e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", "OLD");
        e2e::SetDword(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Connected", 1);
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "LastParent");
    }
};

// A stop while a parent takeover waits for the product (to start, to take
// the file in, to confirm): the release names the parent the product was
// told about, so that whatever the product does afterwards, the machine's
// records agree with it and the record on that parent says the client left.
TEST_F(StopOutcomes, AStopDuringAParentTakeoverNamesTheParentTheProductWasToldAbout) {
    const struct {
        const char* what;
        bool running;
        const char* behaviour;  // of the product stand-in
        DWORD value;
    } cases[] = {
        {"product stopped, slow to start", false, kestrel::kStartDelayValue, 3000},
        {"product stopped, slow to take the file in", false, kestrel::kProcessingDelayValue, 3000},
        {"product running, slow to take the file in", true, kestrel::kProcessingDelayValue, 3000},
        {"product running, never confirming", true, kestrel::kNeverConfirmValue, 1},
    };
    for (Family family : {Family::Nt, Family::Win9x}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::string(FamilyName(family)) + ", " + c.what);
            Reset();
            Load("server SRV01 latency=2 pattern=3\n"
                 "list <local> Parent 0 SRV01\n");
            kestrel::SetBehaviour(c.behaviour, c.value);
            if (c.running) {
                ASSERT_EQ(0u, kestrel::StartProduct());
            }
            Unattended program(family);
            ASSERT_TRUE(program.Start());
            // The takeover has written the file: it waits for the product now.
            ASSERT_TRUE(e2e::WaitUntil([] { return lab::ReadLocalFile(kHpdPath).has_value(); }, 30000));
            Sleep(300);
            DWORD exitCode = 99;
            ASSERT_TRUE(program.Stop(10000, &exitCode));
            EXPECT_EQ(exitCode, 0u);
            EXPECT_EQ(Root("LastParent"), "SRV01");
            // The product goes on and takes the file in after the stop.
            EXPECT_TRUE(e2e::WaitUntil(
                [] { return kestrel::ReadBehaviour(kestrel::kProcessedValue) >= 1; }, 15000));
            EXPECT_EQ(Root("LastParent"), "SRV01");
            std::string parent = Root("Parent").value_or("(none)");
            EXPECT_TRUE(parent == e2e::kParentMarker || parent == "SRV01") << parent;
            EXPECT_EQ(lab::ReadDword("SRV01", e2e::TestClientRecordKey(), "good"), 0u);
        }
    }
}

// A service whose product session cannot be opened has not done its work:
// it ends "stopped" with ERROR_SERVICE_SPECIFIC_ERROR and the session's own
// status, never as a clean stop (the manager's recovery goes by this).
TEST_F(StopOutcomes, AFailedSessionEndsTheServiceWithItsServiceSpecificCode) {
    Load("server SRV01 latency=2\nlist <local> Parent 0 SRV01\nlab caller-key=12345\n");
    Unattended program(Family::Nt);
    e2e::InstallPerchmanService();
    e2e::StartPerchmanService(Windows::XP, 5000);  // it may stop before it is seen running
    SERVICE_STATUS_PROCESS status = {};
    ASSERT_TRUE(e2e::WaitUntil(
        [&] {
            status = e2e::QueryPerchmanService();
            return status.dwCurrentState == SERVICE_STOPPED;
        },
        20000));
    EXPECT_EQ(status.dwWin32ExitCode, static_cast<DWORD>(ERROR_SERVICE_SPECIFIC_ERROR));
    EXPECT_EQ(status.dwServiceSpecificExitCode, 0x40000001u);  // the library's refusal
}

// The end of the session on Windows 9x, with a parent whose name resolves
// but whose host does not answer: the release's remote mark gets a few
// seconds, the local part is done, and the process ends cleanly in time.
TEST_F(StopOutcomes, AShutdownOffTheNetworkReleasesTheParentLocallyInTime) {
    Load("server SRV01 latency=2 pattern=3\n"
         "list <local> Alerts 0 SRV01\n"
         "dword <local> ProductControl RoamClient 0\n"
         "dword <local> ProductControl RoamAlerts 1\n");
    e2e::SetString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent", "SRV01");
    Unattended program(Family::Win9x);
    ASSERT_TRUE(program.Start());
    ASSERT_TRUE(e2e::WaitUntil(
        [] { return e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl, kStatus) == 1u; },
        30000));
    HWND window = nullptr;
    ASSERT_TRUE(e2e::WaitUntil(
        [&] { return (window = FindWindowA("Win9XPerchmanWndClass", "Win9XPerchmanWindow")) != nullptr; },
        10000));
    ASSERT_TRUE(lab::SetLatency("SRV01", 60000));
    DWORD start = GetTickCount();
    DWORD_PTR result = 0;
    ASSERT_TRUE(SendMessageTimeoutA(window, WM_ENDSESSION, TRUE, 0, SMTO_NORMAL, 30000, &result));
    bool ended = WaitForSingleObject(program.Process(), 20000) == WAIT_OBJECT_0;
    DWORD took = GetTickCount() - start;
    ASSERT_TRUE(ended);
    DWORD exitCode = 99;
    GetExitCodeProcess(program.Process(), &exitCode);
    EXPECT_EQ(exitCode, 0u) << "the engine was taken for a hung one";
    EXPECT_LT(took, 12000u);
    EXPECT_EQ(Root("Parent"), e2e::kParentMarker);
    EXPECT_EQ(Root("LastParent"), "SRV01");
}

}  // namespace
