// "/install" and "/remove" of the real perchman.exe against Wine's own service
// control manager and registry: the service and its settings, the event
// source, the copy into a folder, the running service's stop and the release
// of its parent.

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "harness/harness.h"
#include "harness/service_control.h"
#include "harness/win9x_systems.h"
#include "labnet/labnet.h"

namespace {

using e2e::Crlf;
using e2e::FormatMessageText;
using e2e::RunPerchman;
using e2e::Windows;

constexpr char kEventSources[] = "SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr char kMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";
const char* const kTestServices[] = {"Perchman", "svc"};

// The machine's current parent, with the identity its record is kept under.
constexpr char kParentNetwork[] =
    "server SRV latency=2 clients=3 pattern=7\n"
    "string <local> - Parent SRV\n"
    "dword <local> - Connected 1\n"
    "binary <local> - GUID \"00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f\"\n";

// The settings the service was created with, in one line ("" when absent).
std::string DescribeConfig(const char* name) {
    e2e::ServiceHandle service = e2e::OpenNamedService(name, SERVICE_QUERY_CONFIG);
    std::vector<char> buffer(8192);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGA*>(buffer.data());
    DWORD needed = 0;
    if (!service ||
        !QueryServiceConfigA(service.get(), config, static_cast<DWORD>(buffer.size()), &needed))
        return "";
    char numbers[64];
    snprintf(numbers, sizeof numbers, "type %lx start %lu error %lu",
             static_cast<unsigned long>(config->dwServiceType),
             static_cast<unsigned long>(config->dwStartType),
             static_cast<unsigned long>(config->dwErrorControl));
    auto text = [](const char* s) { return std::string(s ? s : ""); };
    return std::string(numbers) + " group '" + text(config->lpLoadOrderGroup) + "' depends '" +
           text(config->lpDependencies) + "' account " + text(config->lpServiceStartName) +
           " display " + text(config->lpDisplayName) + " path " + text(config->lpBinaryPathName);
}

std::string ExpectedConfig(const std::string& name, const std::string& path) {
    return "type 110 start 2 error 1 group '' depends '' account LocalSystem display " + name +
           " path " + path;
}

// 0 when the service does not exist.
DWORD ServiceState(const char* name) {
    e2e::ServiceHandle service = e2e::OpenNamedService(name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS status = {};
    if (!service || !QueryServiceStatus(service.get(), &status)) return 0;
    return status.dwCurrentState;
}

bool WaitForState(const char* name, DWORD state, DWORD timeoutMs) {
    return e2e::WaitUntil([&] { return ServiceState(name) == state; }, timeoutMs);
}

bool ServiceExists(const char* name) {
    return static_cast<bool>(e2e::OpenNamedService(name, SERVICE_QUERY_STATUS));
}

// Stopped and deleted, whatever an earlier run left.
void RemoveTestService(const char* name) {
    {
        e2e::ServiceHandle service = e2e::OpenNamedService(name);
        if (!service) return;
        SERVICE_STATUS status = {};
        ControlService(service.get(), SERVICE_CONTROL_STOP, &status);
        WaitForState(name, SERVICE_STOPPED, 20000);
        DeleteService(service.get());
    }
    e2e::WaitUntil([&] { return !ServiceExists(name); }, 10000);
}

std::string ShortPath(const std::string& path) {
    char shortPath[1024] = "";
    DWORD n = GetShortPathNameA(path.c_str(), shortPath, sizeof shortPath);
    return n && n < sizeof shortPath ? shortPath : path;
}

// What the program shows for a Windows error: the system's text without its
// CR LF, then the code.
std::string ErrorText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string description = text ? text : "";
    if (text) LocalFree(text);
    if (description.size() >= 2) description.resize(description.size() - 2);
    char codeText[16];
    snprintf(codeText, sizeof codeText, " (0x%lx)", static_cast<unsigned long>(code));
    return description + codeText;
}

std::string Said(unsigned id, const std::string& argument) {
    return Crlf(FormatMessageText(id, argument.c_str()));
}
std::string Failed(const char* step, DWORD code) {
    return Crlf(FormatMessageText(110, step, ErrorText(code).c_str()));
}

// Message 111, a dot per further second of stop-pending, the outcome, 114.
std::string StopAndRemoval(const std::string& out, const std::string& name, unsigned outcome) {
    const std::string head = Said(111, name);
    size_t dots = 0;
    while (out.compare(0, head.size(), head) == 0 && head.size() + dots < out.size() &&
           out[head.size() + dots] == '.')
        ++dots;
    return head + std::string(dots, '.') + Said(outcome, name) + Said(114, name);
}

std::string EventSourceKey(const std::string& name) { return kEventSources + name; }

class ServiceInstallTest : public e2e::ProductTest {
protected:
    static void SetUpTestSuite() { lab::RegisterProductLibrary(lab::DefaultProductLibraryPath()); }
    void SetUp() override {
        e2e::ProductTest::SetUp();
        Clean();
        char temp[MAX_PATH] = "";
        GetTempPathA(sizeof temp, temp);
        folder_ = std::string(temp) + "perchman install test";
        CreateDirectoryA(folder_.c_str(), nullptr);
    }
    void TearDown() override {
        Clean();
        e2e::ProductTest::TearDown();
    }
    void Clean() {
        for (const char* name : kTestServices) {
            RemoveTestService(name);
            e2e::DeleteKeyTree(HKEY_LOCAL_MACHINE, EventSourceKey(name));
        }
        if (!folder_.empty()) {
            for (const char* file : {"\\tool.EXE", "\\perchman.exe"})
                DeleteFileA((folder_ + file).c_str());
            RemoveDirectoryA(folder_.c_str());
        }
    }

    // The event source as /install leaves it: the binary path, NUL included,
    // as an expandable string, and the three event types.
    void ExpectEventSource(const std::string& name, const std::string& binaryPath) {
        const std::string key = EventSourceKey(name);
        EXPECT_EQ(e2e::ValueType(HKEY_LOCAL_MACHINE, key, "EventMessageFile"),
                  std::optional<DWORD>(REG_EXPAND_SZ));
        EXPECT_EQ(e2e::ReadBinary(HKEY_LOCAL_MACHINE, key, "EventMessageFile"),
                  std::optional<std::string>(binaryPath + '\0'));
        EXPECT_EQ(e2e::ReadDword(HKEY_LOCAL_MACHINE, key, "TypesSupported"),
                  std::optional<DWORD>(7));
    }

    std::string folder_;
};

TEST_F(ServiceInstallTest, InstallRunsTheServiceAndRemoveStopsItAndTakesItAway) {
    for (Windows version : {Windows::NT4, Windows::Win2000, Windows::XP}) {
        SCOPED_TRACE(e2e::WineVersionName(version));
        Load(kParentNetwork);
        e2e::RunOptions options;
        options.version = version;

        e2e::RunResult first = RunPerchman({"/install"}, options);
        ASSERT_TRUE(e2e::Finished(first));
        EXPECT_BYTES_EQ(Said(109, "Perchman") + Said(141, "Perchman"), first.out);
        // The build's own path may already be short (the copies below, in a
        // folder with a long name, are the case where the two forms differ).
        const std::string binaryPath = ShortPath(e2e::PerchmanPath());
        EXPECT_EQ(DescribeConfig("Perchman"), ExpectedConfig("Perchman", binaryPath));
        ExpectEventSource("Perchman", binaryPath);
        EXPECT_TRUE(WaitForState("Perchman", SERVICE_RUNNING, 10000));

        // A second install finds the service and repairs the event source.
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, EventSourceKey("Perchman"), "EventMessageFile");
        e2e::SetDword(HKEY_LOCAL_MACHINE, EventSourceKey("Perchman"), "TypesSupported", 1);
        e2e::RunResult second = RunPerchman({"/install"}, options);
        EXPECT_BYTES_EQ(Failed("CreateService", ERROR_SERVICE_EXISTS), second.out);
        ExpectEventSource("Perchman", binaryPath);

        e2e::RunResult removal = RunPerchman({"/remove"}, options);
        ASSERT_TRUE(e2e::Finished(removal));
        EXPECT_BYTES_EQ(StopAndRemoval(removal.out, "Perchman", 113), removal.out);
        EXPECT_FALSE(ServiceExists("Perchman"));
        EXPECT_FALSE(e2e::KeyExists(HKEY_LOCAL_MACHINE, EventSourceKey("Perchman")));
        // The service released its parent as it stopped.
        EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "Parent"),
                  std::optional<std::string>(kMarker));
        EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, e2e::kProductRoot, "LastParent"),
                  std::optional<std::string>("SRV"));

        e2e::RunResult again = RunPerchman({"/remove"}, options);
        EXPECT_BYTES_EQ(Failed("OpenService", ERROR_SERVICE_DOES_NOT_EXIST), again.out);
    }
}

// The copy goes into the folder under the executable name given (normalised
// to NAME.EXE) or the program's own; the service runs the copy, whatever its
// own name, although the program's dispatcher table always says "Perchman".
TEST_F(ServiceInstallTest, InstallCopiesIntoAFolderAndRunsTheCopy) {
    struct Case {
        std::vector<std::string> arguments;  // behind "/install"
        const char* service;
        const char* copy;
        std::string announcement;
    } cases[] = {
        {{folder_, "svc", "tool"}, "svc", "tool.EXE",
         Crlf(FormatMessageText(116, "Perchman", folder_.c_str()) +
              FormatMessageText(117, "Perchman", "svc") +
              FormatMessageText(118, "Perchman", "tool.EXE"))},
        {{folder_ + "\\"}, "Perchman", "perchman.exe",
         Crlf(FormatMessageText(116, "Perchman", (folder_ + "\\").c_str()))},
    };

    for (const Case& c : cases) {
        SCOPED_TRACE(c.service);
        std::vector<std::string> arguments = {"/install"};
        arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
        e2e::RunResult install = RunPerchman(arguments);
        ASSERT_TRUE(e2e::Finished(install));
        EXPECT_BYTES_EQ(c.announcement + Said(109, c.service) + Said(141, c.service), install.out);

        const std::string copy = folder_ + "\\" + c.copy;
        ASSERT_NE(ShortPath(copy), copy) << "the copy's path has a short form";
        EXPECT_EQ(lab::ReadLocalFile(copy), lab::ReadLocalFile(e2e::PerchmanPath()));
        EXPECT_EQ(DescribeConfig(c.service), ExpectedConfig(c.service, ShortPath(copy)));
        ExpectEventSource(c.service, ShortPath(copy));
        EXPECT_TRUE(WaitForState(c.service, SERVICE_RUNNING, 10000));

        // A service that is not running is removed without a word of stopping.
        SERVICE_STATUS status = {};
        ASSERT_TRUE(ControlService(e2e::OpenNamedService(c.service).get(), SERVICE_CONTROL_STOP,
                                   &status));
        ASSERT_TRUE(WaitForState(c.service, SERVICE_STOPPED, 20000));
        e2e::RunResult removal = RunPerchman({"/remove", c.service});
        EXPECT_BYTES_EQ(Crlf(FormatMessageText(119, "Perchman", c.service)) + Said(114, c.service),
                        removal.out);
        EXPECT_FALSE(ServiceExists(c.service));
        EXPECT_FALSE(e2e::KeyExists(HKEY_LOCAL_MACHINE, EventSourceKey(c.service)));
    }
}

// A folder that fits its argument but leaves no room for the file name is
// refused with the system's word for it; nothing is copied or created.
TEST_F(ServiceInstallTest, ACopyPathThatDoesNotFitIsRefused) {
    const std::string folder = "C:\\" + std::string(1015, 'd');
    e2e::RunResult install = RunPerchman({"/install", folder, "svc", "tool"});
    ASSERT_TRUE(e2e::Finished(install));
    const std::string refusal =
        Crlf(FormatMessageText(108, "Perchman", ErrorText(ERROR_FILENAME_EXCED_RANGE).c_str()));
    ASSERT_GE(install.out.size(), refusal.size());
    EXPECT_BYTES_EQ(refusal, install.out.substr(install.out.size() - refusal.size()));
    EXPECT_FALSE(ServiceExists("svc"));
}

// The stop of a service whose one probe outlasts the wait: the stop control
// is taken, the probe in flight goes on (the round ends only after it), and
// after a minute of dots the removal gives up waiting and deletes the
// service all the same; the service control manager removes it once it has
// stopped.
TEST_F(ServiceInstallTest, RemoveGivesUpWaitingAfterAMinuteSlowWait) {
    Load("server FAR down timeout=70000\n"
         "list <local> Parent 0 FAR\n");  // the first probe alone lasts 70 s
    ASSERT_TRUE(e2e::Finished(RunPerchman({"/install"})));
    ASSERT_TRUE(WaitForState("Perchman", SERVICE_RUNNING, 10000));

    DWORD start = GetTickCount();
    e2e::RunResult removal = RunPerchman({"/remove"});
    DWORD tookMs = GetTickCount() - start;
    EXPECT_BYTES_EQ(StopAndRemoval(removal.out, "Perchman", 112), removal.out);
    const size_t words = Said(111, "Perchman").size() + Said(112, "Perchman").size() +
                         Said(114, "Perchman").size();
    EXPECT_EQ(removal.out.size(), words + 59) << "a dot per second of stop-pending after the first";
    EXPECT_GE(tookMs, 60000u);
    EXPECT_LT(tookMs, 66000u);
    EXPECT_FALSE(e2e::KeyExists(HKEY_LOCAL_MACHINE, EventSourceKey("Perchman")));
    EXPECT_TRUE(e2e::WaitUntil([] { return !ServiceExists("Perchman"); }, 40000))
        << "gone once its search ended";
}

constexpr char kRunServices[] = "Software\\Microsoft\\Windows\\CurrentVersion\\RunServices";
constexpr char kWindowClass[] = "Win9XPerchmanWndClass";
constexpr char kWindowTitle[] = "Win9XPerchmanWindow";
const char* const kCopies[] = {"bg.EXE", "bg2.EXE"};

bool BackgroundInstanceRuns() { return FindWindowA(kWindowClass, kWindowTitle) != nullptr; }

bool WaitForInstance(bool running, DWORD timeoutMs) {
    return e2e::WaitUntil([&] { return BackgroundInstanceRuns() == running; }, timeoutMs);
}

bool WaitForStatus(DWORD status, DWORD timeoutMs) {
    return e2e::WaitUntil(
        [&] {
            return e2e::ReadDword(HKEY_LOCAL_MACHINE, e2e::kProductControl,
                                  "ZirRoamServiceStatus") == std::optional<DWORD>(status);
        },
        timeoutMs);
}

// On Windows 9x the registration is a RunServices value and the instance a
// hidden background process, on every system of the family. Copies are
// installed as bg.EXE and bg2.EXE so that the instance started from the value
// runs under the same system: the harness sets the emulated version for
// perchman.exe only while it runs it. (A copy over the running instance's own
// file would fail: the copy comes before the removal.)
class Win9xInstallTest : public ServiceInstallTest, public ::testing::WithParamInterface<e2e::Win9xSystem> {
protected:
    void SetUp() override {
        ServiceInstallTest::SetUp();
        saved_ = e2e::ReadString(HKEY_LOCAL_MACHINE, kRunServices, "winemenubuilder");
        for (const char* copy : kCopies) e2e::SetWin9xSystem(copy, &GetParam());
        options_ = e2e::Win9xRunOptions(GetParam());
    }
    void TearDown() override {
        if (BackgroundInstanceRuns()) {
            PostMessageA(FindWindowA(kWindowClass, kWindowTitle), WM_QUIT, 0, 0);
            WaitForInstance(false, 10000);
        }
        e2e::CreateKey(HKEY_LOCAL_MACHINE, kRunServices);
        e2e::DeleteValue(HKEY_LOCAL_MACHINE, kRunServices, "Perchman");
        if (saved_) e2e::SetString(HKEY_LOCAL_MACHINE, kRunServices, "winemenubuilder", *saved_);
        for (const char* copy : kCopies) {
            e2e::SetWin9xSystem(copy, nullptr);
            DeleteFileA((folder_ + "\\" + copy).c_str());
        }
        ServiceInstallTest::TearDown();
    }
    e2e::RunResult Run(std::vector<std::string> arguments) {
        return RunPerchman(arguments, options_);
    }

    std::optional<std::string> saved_;
    e2e::RunOptions options_;
};

INSTANTIATE_TEST_SUITE_P(Systems, Win9xInstallTest, ::testing::ValuesIn(e2e::kWin9xSystems),
                         e2e::Win9xSystemName);

TEST_P(Win9xInstallTest, InstallRemovesFirstThenRegistersAndStartsTheBackgroundInstance) {
    auto install = [&](const char* copy) {
        return std::vector<std::string>{"/install", folder_, "Perchman", copy};
    };
    auto announced = [&](const char* copy) {
        return Crlf(FormatMessageText(116, "Perchman", folder_.c_str()) +
                    FormatMessageText(117, "Perchman", "Perchman") +
                    FormatMessageText(118, "Perchman", copy));
    };
    const std::string nothingToStop = Said(111, "Perchman") + Said(112, "Perchman");

    // No RunServices key: it is never created.
    ASSERT_TRUE(e2e::DeleteKeyTree(HKEY_LOCAL_MACHINE, kRunServices));
    e2e::RunResult withoutKey = Run(install("bg"));
    EXPECT_BYTES_EQ(announced("bg.EXE") + nothingToStop + Failed("Win9XDeleteService", ERROR_FILE_NOT_FOUND) +
                        Failed("Win9XCreateService", ERROR_FILE_NOT_FOUND),
                    withoutKey.out);
    EXPECT_FALSE(e2e::KeyExists(HKEY_LOCAL_MACHINE, kRunServices));
    EXPECT_FALSE(BackgroundInstanceRuns());

    ASSERT_TRUE(e2e::CreateKey(HKEY_LOCAL_MACHINE, kRunServices));
    e2e::RunResult first = Run(install("bg"));
    EXPECT_BYTES_EQ(announced("bg.EXE") + nothingToStop + Failed("Win9XDeleteService", ERROR_FILE_NOT_FOUND) +
                        Said(109, "Perchman") + Said(141, "Perchman"),
                    first.out);
    EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, kRunServices, "Perchman"),
              std::optional<std::string>(ShortPath(folder_ + "\\bg.EXE")));
    ASSERT_TRUE(WaitForInstance(true, 15000));
    EXPECT_TRUE(WaitForStatus(1, 10000));

    // Installing again stops the running instance first, and the new one
    // starts once the old one has gone.
    e2e::RunResult second = Run(install("bg2"));
    EXPECT_BYTES_EQ(announced("bg2.EXE") + Said(111, "Perchman") + Said(113, "Perchman") +
                        Said(114, "Perchman") + Said(109, "Perchman") + Said(141, "Perchman"),
                    second.out);
    EXPECT_EQ(e2e::ReadString(HKEY_LOCAL_MACHINE, kRunServices, "Perchman"),
              std::optional<std::string>(ShortPath(folder_ + "\\bg2.EXE")));
    ASSERT_TRUE(WaitForInstance(true, 15000));
    EXPECT_TRUE(WaitForStatus(1, 10000));

    e2e::RunResult removal = Run({"/remove"});
    EXPECT_BYTES_EQ(Said(111, "Perchman") + Said(113, "Perchman") + Said(114, "Perchman"),
                    removal.out);
    EXPECT_TRUE(WaitForInstance(false, 5000));
    EXPECT_FALSE(e2e::ValueExists(HKEY_LOCAL_MACHINE, kRunServices, "Perchman"));
    EXPECT_TRUE(WaitForStatus(3, 5000));
}

}  // namespace
