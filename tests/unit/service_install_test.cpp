// "/install" and "/remove" in-process, with the service control manager
// replaced through the frame's bound functions and the short-path function
// replaced where Wine cannot show it: the path the service is registered
// with, the startup values of Windows 9x, and what is said.

#include <gtest/gtest.h>

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "captured_stdout.h"
#include "entry/run_modes.h"
#include "entry/service_registration.h"
#include "platform/system_functions.h"
#include "entry/win9x_background.h"
#include "entry/win9x_startup_values.h"
#include "output/output.h"

namespace {

using unit_test::CapturedStdout;

constexpr char kName[] = "PerchmanUnitSvc";
constexpr char kRunKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\Run";
constexpr char kRunServicesKey[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr char kEventSource[] =
    "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\PerchmanUnitSvc";
constexpr char kHarmless[] = "C:\\windows\\system32\\hostname.exe";
const auto kManager = reinterpret_cast<SC_HANDLE>(0x5C01);
const auto kService = reinterpret_cast<SC_HANDLE>(0x5C02);

std::vector<std::string> Created;  // binary paths given to CreateServiceA
BOOL StartResult = TRUE;
int Queries = 0;
std::string ShortResult;  // empty: the long path comes back, as without 8.3 names

SC_HANDLE WINAPI FakeOpenManager(const char*, const char*, DWORD) { return kManager; }
SC_HANDLE WINAPI FakeCreate(SC_HANDLE, const char*, const char*, DWORD, DWORD, DWORD, DWORD,
                            const char* path, const char*, DWORD*, const char*, const char*,
                            const char*) {
    Created.push_back(path);
    return kService;
}
SC_HANDLE WINAPI FakeOpen(SC_HANDLE, const char*, DWORD) { return kService; }
BOOL WINAPI FakeStart(SC_HANDLE, DWORD, const char**) {
    SetLastError(ERROR_SERVICE_DISABLED);
    return StartResult;
}
BOOL WINAPI FakeClose(SC_HANDLE) { return TRUE; }
BOOL WINAPI FakeDelete(SC_HANDLE) { return TRUE; }
BOOL WINAPI FakeControl(SC_HANDLE, DWORD, SERVICE_STATUS* status) {
    status->dwCurrentState = SERVICE_STOP_PENDING;
    return TRUE;
}
// Stop-pending until the 60th question: the service stopped in the last
// second of the removal's minute.
BOOL WINAPI FakeQuery(SC_HANDLE, SERVICE_STATUS* status) {
    status->dwCurrentState = ++Queries >= 60 ? SERVICE_STOPPED : SERVICE_STOP_PENDING;
    return TRUE;
}
DWORD WINAPI FakeShortPath(const char* path, char* out, DWORD size) {
    const std::string& result = ShortResult.empty() ? std::string(path) : ShortResult;
    if (result.size() >= size) return static_cast<DWORD>(result.size() + 1);
    std::memcpy(out, result.c_str(), result.size() + 1);
    return static_cast<DWORD>(result.size());
}

std::string Said(unsigned id, const char* argument) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, id, argument);
    return line;
}

// The raw data of a value ("" when absent), terminator included.
std::string RawValue(const char* keyPath, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &key) != ERROR_SUCCESS) return "";
    char data[1024];
    DWORD size = sizeof data;
    LONG status = RegQueryValueExA(key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(data, size) : "";
}
void SetString(const char* keyPath, const char* name, const char* text) {
    HKEY key;
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                    nullptr);
    RegSetValueExA(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text) + 1));
    RegCloseKey(key);
}
void DeleteValue(const char* keyPath, const char* name) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
    RegDeleteValueA(key, name);
    RegCloseKey(key);
}

class InstallTest : public ::testing::Test {
protected:
    void SetUp() override {
        saved_ = FrameFunctions;
        FrameFunctions = SystemFunctions{};
        FrameFunctions.OpenSCManagerA = FakeOpenManager;
        FrameFunctions.CreateServiceA = FakeCreate;
        FrameFunctions.OpenServiceA = FakeOpen;
        FrameFunctions.StartServiceA = FakeStart;
        FrameFunctions.CloseServiceHandle = FakeClose;
        FrameFunctions.DeleteService = FakeDelete;
        FrameFunctions.ControlService = FakeControl;
        FrameFunctions.QueryServiceStatus = FakeQuery;
        ShortPathFunction = FakeShortPath;
        Created.clear();
        StartResult = TRUE;
        Queries = 0;
        ShortResult.clear();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        base_ = std::string(temp) + "PerchmanUnitInstall";
        CreateDirectoryA(base_.c_str(), nullptr);
        for (const char* folder : kFolders) CreateDirectoryA((base_ + folder).c_str(), nullptr);
        GetCurrentDirectoryA(sizeof savedDirectory_, savedDirectory_);
        Cleanup();
    }
    void TearDown() override {
        Cleanup();
        for (const char* folder : kFolders) RemoveDirectoryA((base_ + folder).c_str());
        RemoveDirectoryA(base_.c_str());
        SetCurrentDirectoryA(savedDirectory_);
        FrameFunctions = saved_;
        ShortPathFunction = ::GetShortPathNameA;
    }
    void Cleanup() {
        for (const char* folder : kFolders) DeleteFileA((base_ + folder + "\\PMUNIT.EXE").c_str());
        DeleteFileA(DriveRootCopy().c_str());
        DeleteValue(kRunKey, kName);
        DeleteValue(kRunServicesKey, kName);
        DeleteValue(kEventSource, "EventMessageFile");
        DeleteValue(kEventSource, "TypesSupported");
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, kEventSource);
    }
    // Where "/install" of the base's bare drive puts the copy.
    std::string DriveRootCopy() const { return base_.substr(0, 2) + "\\PMUNIT.EXE"; }
    std::string Install(const std::string& folder) {
        CapturedStdout out;
        InstallService(folder.c_str(), kName, folder.empty() ? "" : "PMUNIT.EXE");
        return out.Finish();
    }

    static constexpr const char* kFolders[] = {"\\My Tools", "\\rel"};
    SystemFunctions saved_;
    std::string base_;
    char savedDirectory_[MAX_PATH] = "";
};

// On NT: the service is registered with an absolute path, quoted for the
// manager when it holds a blank (the event source keeps the plain path);
// nothing is registered when the copy fails; a start that fails says so.
TEST_F(InstallTest, NtRegistersAnAbsoluteQuotedPathAndSaysWhatHappened) {
    const std::string copied = base_ + "\\My Tools\\PMUNIT.EXE";
    const std::string relative = base_ + "\\rel\\PMUNIT.EXE";
    const struct {
        const char* what;
        std::string folder;
        BOOL starts;
        std::string registered;  // "" : nothing
        std::string eventFile;
        std::string said;
    } cases[] = {
        {"a folder without 8.3 names", base_ + "\\My Tools", TRUE, "\"" + copied + "\"", copied,
         Said(109, kName) + Said(141, kName)},
        {"a relative folder", "rel", TRUE, relative, relative,
         Said(109, kName) + Said(141, kName)},
        {"the start fails", base_ + "\\rel", FALSE, relative, relative,
         Said(109, kName) + Said(120, kName)},
        {"a folder that does not exist", base_ + "\\none", TRUE, "", "", ""},
        // The drive's root, not its current folder (the test's base).
        {"a bare drive", DriveRootCopy().substr(0, 2), TRUE, DriveRootCopy(), DriveRootCopy(),
         Said(109, kName) + Said(141, kName)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Cleanup();
        Created.clear();
        StartResult = c.starts;
        SetCurrentDirectoryA(base_.c_str());
        std::string out = Install(c.folder);
        SetCurrentDirectoryA(savedDirectory_);
        if (c.registered.empty()) {
            EXPECT_TRUE(Created.empty());
            EXPECT_EQ(out.rfind("No es posible instalar Perchman: ", 0), 0u) << out;
            continue;
        }
        EXPECT_EQ(out, c.said);
        ASSERT_EQ(Created.size(), 1u);
        EXPECT_EQ(Created[0], c.registered);
        EXPECT_NE(GetFileAttributesA(c.eventFile.c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(RawValue(kEventSource, "EventMessageFile"), c.eventFile + '\0');
    }
}

// On Windows 9x: the RunServices value carries its terminator; the removal
// deletes the given name's values from Run and RunServices.
TEST_F(InstallTest, Win9xStartupValuesAreWrittenWholeAndRemovedByName) {
    FrameFunctions.IsWin9x = 1;
    SetString(kRunServicesKey, "", "");  // the key exists, as on Windows 9x
    DeleteValue(kRunServicesKey, "");
    ASSERT_TRUE(SetRunServicesValue(kName, "C:\\X Y\\PM.EXE"));
    EXPECT_EQ(RawValue(kRunServicesKey, kName), std::string("C:\\X Y\\PM.EXE") + '\0');

    SetString(kRunKey, kName, "C:\\PM.EXE");
    CapturedStdout captured;
    RemoveService(kName);
    std::string out = captured.Finish();
    EXPECT_EQ(out, Said(111, kName) + Said(112, kName) + Said(114, kName));
    EXPECT_EQ(RawValue(kRunKey, kName), "");
    EXPECT_EQ(RawValue(kRunServicesKey, kName), "");
}

// An old instance that still holds its mutex would make a new one end at
// once: the re-install registers, but starts nothing and says so.
TEST_F(InstallTest, Win9xReinstallStartsNothingWhileTheOldInstanceHoldsItsMutex) {
    FrameFunctions.IsWin9x = 1;
    SetString(kRunServicesKey, kName, "old");
    ShortResult = kHarmless;  // what would be started, were anything started
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceMutexName);
    std::string out = Install("");
    CloseHandle(mutex);
    EXPECT_EQ(out, Said(111, kName) + Said(112, kName) + Said(114, kName) + Said(109, kName) +
                       Said(120, kName));
    EXPECT_EQ(RawValue(kRunServicesKey, kName), std::string(kHarmless) + '\0');
}

// Slow on purpose: the removal waits its minute, and a service that stopped
// in the last second of it has stopped.
TEST_F(InstallTest, RemoveAsksOnceMoreAfterItsLastPauseSlowWait) {
    CapturedStdout captured;
    RemoveService(kName);
    std::string out = captured.Finish();
    EXPECT_EQ(Queries, 60);
    EXPECT_EQ(out, Said(111, kName) + std::string(59, '.') + Said(113, kName) + Said(114, kName));
}

}  // namespace
