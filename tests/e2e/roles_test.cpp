// The WDR, KPZ, quarantine and alerts roles end to end: perchman.exe searches
// the role's nearest lab server and takes it over, under the emulated Windows
// versions the roles care about; and every role that copies files from its
// server, with a copy that breaks off.

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness/harness.h"
#include "harness/service_control.h"
#include "harness/unattended_run.h"
#include "labnet/agents.h"
#include "labnet/labnet.h"

namespace {

using namespace e2e;
namespace fs = std::filesystem;

constexpr char kWdrDirectory[] = "c:\\Program Files\\Dovar\\WDR\\bin\\";
constexpr char kKpzBase[] = "c:\\Program Files\\Dovar\\KPZ\\";
constexpr char kDovar[] = "c:\\Program Files\\Dovar";
constexpr char kAnyCode = '\x01';  // in an expected text: one or more hex digits

// True when text matches pattern, where kAnyCode stands for a hex number (the
// system's last-error code of an error line, which the test does not fix).
bool MatchesWithCodes(std::string_view pattern, std::string_view text) {
    size_t t = 0;
    for (size_t p = 0; p < pattern.size(); ++p) {
        if (pattern[p] != kAnyCode) {
            if (t >= text.size() || text[t] != pattern[p]) return false;
            ++t;
            continue;
        }
        size_t start = t;
        while (t < text.size() && std::isxdigit(static_cast<unsigned char>(text[t]))) ++t;
        if (t == start) return false;
    }
    return t == text.size();
}

// A failed step's error line (message, "Error", a last-error code).
std::string ErrorLine(unsigned id) {
    return Message(id) + " - " + Message(2) + " (" + kAnyCode + ")\n \n";
}
std::string CopyTrace(const char* remote, const std::string& local, int status) {
    return FormatMessageText(158, "S1", remote, local.c_str(), status, status);
}
std::string RunTrace(const std::string& tool, const std::string& directory,
                     const char* commandLine, int exitCode) {
    return FormatMessageText(157, tool.c_str(), directory.c_str(), commandLine, exitCode,
                             exitCode);
}

// The driver's result line up to its time: message id with the server name.
std::string ResultPrefix(unsigned id, const char* server) {
    std::string format = Message(id);
    format = format.substr(0, format.find("%d"));
    size_t name = format.find("%s");
    return format.replace(name, 2, server);
}

// What the takeover printed: the text between the search's line and the
// driver's result line (with line ends as written to the console), or a note
// saying which of the two is missing.
std::string TakeoverText(const std::string& out, unsigned resultId, const char* server) {
    std::string search = Crlf(std::string("\"") + server + "\". ");
    size_t found = out.find(search);
    if (found == std::string::npos) return std::string("<no search result for ") + server + " in:>" + out;
    size_t begin = out.find("\r\n", found);
    size_t end = out.find(Crlf(ResultPrefix(resultId, server)), begin);
    if (begin == std::string::npos || end == std::string::npos)
        return "<no result line " + std::to_string(resultId) + " in:>" + out;
    return out.substr(begin + 2, end - begin - 2);
}

class RolesTest : public ProductTest {
protected:
    void SetUp() override {
        ProductTest::SetUp();
        lab::ResetAgents();
        std::error_code ignored;
        fs::remove_all(kDovar, ignored);
    }
    void TearDown() override {
        lab::ResetAgents();
        std::error_code ignored;
        fs::remove_all(kDovar, ignored);
        ProductTest::TearDown();
    }
    RunResult Run(const char* option, Windows version) {
        RunOptions options;
        options.version = version;
        RunResult result = RunPerchman({option}, options);
        EXPECT_TRUE(Finished(result));
        return result;
    }
};

// ---- WDR ------------------------------------------------------------------------

constexpr char kWdrNetwork[] =
    "server S1 latency=1\n"
    "list <local> WDR 0 S1\n"
    "list S1 WDR 1 \"\"\n"
    "dword <local> ProductControl RoamWDR 1\n";
constexpr char kTokenText[] = "file S1 $\\WDR\\wdrtoken.txt token-of-S1\n";
constexpr char kGenerator[] = "copy S1 $\\WDR\\wdtokgen.exe %BUILD%\\lab\\wdtokgen.exe\n";
constexpr char kConfigTool[] = "copy S1 $\\WDR\\wdagtcfg.exe %BUILD%\\lab\\wdagtcfg.exe\n";
constexpr char kGeneratorCommand[] = "wdtokgen.exe wdrtoken.txt wdrtoken.tok";
constexpr char kConfigCommand[] = "wdagtcfg.exe -T:wdrtoken.tok";

std::string WdrLocal(const char* file) { return std::string(kWdrDirectory) + file; }
std::string WdrCopyTraces(int text, int generator, int config) {
    return CopyTrace("$\\WDR\\wdrtoken.txt", WdrLocal("wdrtoken.txt"), text) +
           CopyTrace("$\\WDR\\wdtokgen.exe", WdrLocal("wdtokgen.exe"), generator) +
           CopyTrace("$\\WDR\\wdagtcfg.exe", WdrLocal("wdagtcfg.exe"), config);
}

TEST_F(RolesTest, WdrAgentMovesOnceOnEverySystem) {
    for (Windows version : {Windows::Win98, Windows::NT4, Windows::XP}) {
        SCOPED_TRACE(WineVersionName(version));
        lab::ResetAgents();
        fs::create_directories(kWdrDirectory);
        Load(std::string(kWdrNetwork) + kTokenText + kGenerator + kConfigTool);
        RunResult result = Run("/nearest_WDR", version);
        EXPECT_BYTES_EQ(Crlf(WdrCopyTraces(0, 0, 0) +
                             RunTrace(WdrLocal("wdtokgen.exe"), kWdrDirectory,
                                      kGeneratorCommand, 0) +
                             RunTrace(WdrLocal("wdagtcfg.exe"), kWdrDirectory, kConfigCommand, 0)),
                        TakeoverText(result.out, 121, "S1"));
        std::vector<lab::AgentRun> runs = lab::AgentRuns();
        ASSERT_EQ(runs.size(), 2u);
        EXPECT_EQ(runs[0].commandLine, kGeneratorCommand);
        EXPECT_EQ(runs[1].commandLine, kConfigCommand);
        EXPECT_TRUE(fs::exists(WdrLocal("wdrtoken.tok")));
        EXPECT_FALSE(ValueExists(HKEY_LOCAL_MACHINE, kProductControl, "RoamWDR"));
    }
}

TEST_F(RolesTest, WdrFailuresLeaveTheRoleRoaming) {
    struct Case {
        const char* name;
        std::string network;
        std::string expected;  // the takeover's lines
        size_t runs;  // 1: the generator runs and ends with 1
    };
    const std::string gen = WdrLocal("wdtokgen.exe");
    const Case cases[] = {
        {"server path from ParentWDRPath",
         "string <local> ProductControl ParentWDRPath Agents\\WDR\n"
         "file S1 $\\Agents\\WDR\\wdrtoken.txt t\n"
         "copy S1 $\\Agents\\WDR\\wdtokgen.exe %BUILD%\\lab\\wdtokgen.exe\n",
         CopyTrace("$\\Agents\\WDR\\wdrtoken.txt", WdrLocal("wdrtoken.txt"), 0) +
             CopyTrace("$\\Agents\\WDR\\wdtokgen.exe", WdrLocal("wdtokgen.exe"), 0) +
             CopyTrace("$\\Agents\\WDR\\wdagtcfg.exe", WdrLocal("wdagtcfg.exe"), 2) +
             ErrorLine(156),
         0},
        {"token text missing", std::string(kGenerator) + kConfigTool,
         CopyTrace("$\\WDR\\wdrtoken.txt", WdrLocal("wdrtoken.txt"), 2) + ErrorLine(151) +
             CopyTrace("$\\WDR\\wdtokgen.exe", WdrLocal("wdtokgen.exe"), 0) +
             CopyTrace("$\\WDR\\wdagtcfg.exe", WdrLocal("wdagtcfg.exe"), 0),
         0},
        {"configuration tool missing", std::string(kTokenText) + kGenerator,
         WdrCopyTraces(0, 0, 2) + ErrorLine(156), 0},
        {"generator fails", std::string(kTokenText) + kGenerator + kConfigTool,
         WdrCopyTraces(0, 0, 0) + RunTrace(gen, kWdrDirectory, kGeneratorCommand, 1), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lab::ResetAgents();
        fs::create_directories(kWdrDirectory);
        Load(kWdrNetwork + c.network);
        if (c.runs == 1) lab::SetAgentExitCode("wdtokgen.exe", 1);
        RunResult result = Run("/nearest_WDR", Windows::XP);
        std::string printed = TakeoverText(result.out, 122, "S1");
        EXPECT_TRUE(MatchesWithCodes(Crlf(c.expected), printed))
            << Escape(Crlf(c.expected)) << "\n" << Escape(printed);
        EXPECT_EQ(lab::AgentRuns().size(), c.runs);
        EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kProductControl, "RoamWDR"), 1u);
    }
}

// The service runs as LocalSystem with no console: a console tool it started
// would get a console window of its own on the interactive user's desktop,
// which the user could close and so fail the takeover. The tools get none.
TEST_F(RolesTest, WdrToolsOfTheServiceGetNoConsoleWindow) {
    fs::create_directories(kWdrDirectory);
    Load(std::string(kWdrNetwork) + kTokenText + kGenerator + kConfigTool);
    UnattendedRun service(Family::NtService);
    std::string error;
    ASSERT_TRUE(service.Start(&error)) << error;
    EXPECT_TRUE(WaitUntil(
        [] { return !ValueExists(HKEY_LOCAL_MACHINE, kProductControl, "RoamWDR"); }, 60000))
        << "the agent was not moved";
    EXPECT_TRUE(service.Stop().ended);
    ASSERT_EQ(lab::AgentRuns().size(), 2u);
    EXPECT_EQ(lab::AgentHadConsoleWindow("wdtokgen.exe"), false);
    EXPECT_EQ(lab::AgentHadConsoleWindow("wdagtcfg.exe"), false);
}

TEST_F(RolesTest, WdrEmptyServerPathIsReportedWithTheSystemText) {
    Load(std::string(kWdrNetwork) + kTokenText + kGenerator + kConfigTool);
    ASSERT_TRUE(lab::SetString("<local>", "ProductControl", "ParentWDRPath", ""));
    RunResult result = Run("/nearest_WDR", Windows::XP);
    std::string printed = TakeoverText(result.out, 122, "S1");
    std::string prefix = Crlf(Message(126) + " - " + Message(2) + " (0) ");
    EXPECT_EQ(printed.rfind(prefix, 0), 0u) << Escape(printed);
    EXPECT_EQ(printed.find("RemoteFileCopy"), std::string::npos);
}

TEST_F(RolesTest, WdrSwitchAlreadyGoneIsReportedAfterASuccess) {
    fs::create_directories(kWdrDirectory);
    Load(std::string("server S1 latency=1\nlist <local> WDR 0 S1\nlist S1 WDR 1 \"\"\n") + kTokenText + kGenerator +
         kConfigTool);
    RunResult result = Run("/nearest_WDR", Windows::XP);
    std::string printed = TakeoverText(result.out, 121, "S1");
    std::string tail = Crlf(Message(159) + " - " + Message(2) + " (2)\n \n");
    ASSERT_GE(printed.size(), tail.size()) << Escape(printed);
    EXPECT_BYTES_EQ(tail, printed.substr(printed.size() - tail.size()));
}

// ---- KPZ ------------------------------------------------------------------------

constexpr char kKpzNetwork[] =
    "server S1 latency=1\n"
    "list <local> KPZ 0 S1\n"
    "list S1 KPZ 1 \"\"\n"
    "dword <local> ProductControl RoamKPZ 1\n";
constexpr char kRelayToken[] = "file S1 $\\KPZ\\relay1.tkn relay-of-S1\n";
constexpr char kEnrol[] = "copy S1 $\\KPZ\\enrol.exe %BUILD%\\lab\\enrol.exe\n";
constexpr char kEnrolCommand[] = "enrol.exe -Er relay1.tkn";

std::string KpzCopyTraces(const std::string& directory, int token, int tool) {
    return CopyTrace("$\\KPZ\\relay1.tkn", directory + "relay1.tkn", token) +
           CopyTrace("$\\KPZ\\enrol.exe", directory + "enrol.exe", tool);
}

TEST_F(RolesTest, KpzRegistersFromThePlatformDirectory) {
    struct Case {
        Windows version;
        const char* subdirectory;
        bool registers;
    };
    for (const Case& c : {Case{Windows::XP, "bin\\w2k-ix86\\", true},
                          Case{Windows::Win2000, "bin\\w2k-ix86\\", true},
                          Case{Windows::NT4, "bin\\nt-ix86\\", true},
                          Case{Windows::Win98, "", false}}) {
        SCOPED_TRACE(WineVersionName(c.version));
        lab::ResetAgents();
        std::string directory = std::string(kKpzBase) + c.subdirectory;
        fs::create_directories(directory);
        Load(std::string(kKpzNetwork) + kRelayToken + kEnrol);
        RunResult result = Run("/nearest_KPZ", c.version);
        std::string expected = KpzCopyTraces(directory, 0, 0);
        if (c.registers)
            expected += RunTrace(directory + "enrol.exe", directory, kEnrolCommand, 0);
        EXPECT_BYTES_EQ(Crlf(expected), TakeoverText(result.out, c.registers ? 123 : 124, "S1"));
        std::vector<lab::AgentRun> runs = lab::AgentRuns();
        ASSERT_EQ(runs.size(), c.registers ? 1u : 0u);
        if (c.registers) {
            EXPECT_EQ(runs[0].commandLine, kEnrolCommand);
        }
        EXPECT_TRUE(fs::exists(directory + "relay1.tkn"));
        EXPECT_EQ(ValueExists(HKEY_LOCAL_MACHINE, kProductControl, "RoamKPZ"), !c.registers);
        fs::remove_all(kDovar);
    }
}

TEST_F(RolesTest, KpzFailuresLeaveTheRoleRoaming) {
    const std::string directory = std::string(kKpzBase) + "bin\\w2k-ix86\\";
    struct Case {
        const char* name;
        std::string network;
        DWORD exitCode;
        std::string expected;
    };
    const Case cases[] = {
        {"token missing", kEnrol, 0,
         CopyTrace("$\\KPZ\\relay1.tkn", directory + "relay1.tkn", 2) + ErrorLine(128) +
             CopyTrace("$\\KPZ\\enrol.exe", directory + "enrol.exe", 0)},
        {"tool fails", std::string(kRelayToken) + kEnrol, 2,
         KpzCopyTraces(directory, 0, 0) +
             RunTrace(directory + "enrol.exe", directory, kEnrolCommand, 2)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        lab::ResetAgents();
        fs::create_directories(directory);
        Load(kKpzNetwork + c.network);
        if (c.exitCode) lab::SetAgentExitCode("enrol.exe", c.exitCode);
        RunResult result = Run("/nearest_KPZ", Windows::XP);
        std::string printed = TakeoverText(result.out, 124, "S1");
        EXPECT_TRUE(MatchesWithCodes(Crlf(c.expected), printed))
            << Escape(Crlf(c.expected)) << "\n" << Escape(printed);
        EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kProductControl, "RoamKPZ"), 1u);
    }
}

// ---- Every role that copies files ------------------------------------------------

constexpr char kBrokenCopyHome[] = "C:\\PerchmanLab\\E2EBrokenCopyHome";

std::string ReadBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> FilesIn(const fs::path& directory) {
    std::vector<std::string> names;
    for (const fs::directory_entry& entry : fs::directory_iterator(directory))
        if (entry.is_regular_file()) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// What a server publishes: long enough that half of it is a file of its own.
std::string Published(const std::string& name) {
    return name + " as the server has it, " + std::string(200, '=');
}

struct BrokenCopyCase {
    const char* option;
    const char* role;
    std::string serverPath;           // below the server's "$\" area
    std::string directory;            // the local files' folder
    std::vector<std::string> files;   // sorted
    std::vector<unsigned> failures;   // the messages of the failed copies
};

// A copy from the server that breaks off half-way (the lab's server writes
// the first half of the file where it was asked to, then fails, as a transfer
// cut off does) while a takeover replaces the product's client configuration
// or an agent's files: the file in place stays byte for byte, nothing of the
// broken copy is left beside it, the failure is reported as always, and
// nothing runs.
TEST_F(RolesTest, ACopyCutOffHalfWayLeavesTheFileInPlaceByteForByte) {
    const BrokenCopyCase cases[] = {
        {"/nearest_HPD", "HPD", "cfg", kBrokenCopyHome, {"HPD.DAT"}, {79}},
        {"/nearest_primary", "Primary", "cfg", kBrokenCopyHome, {"HPD.DAT"}, {79}},
        {"/nearest_WDR", "WDR", "WDR", std::string(kDovar) + "\\WDR\\bin",
         {"wdagtcfg.exe", "wdrtoken.txt", "wdtokgen.exe"}, {151, 152, 156}},
        {"/nearest_KPZ", "KPZ", "KPZ", std::string(kDovar) + "\\KPZ\\bin\\w2k-ix86",
         {"enrol.exe", "relay1.tkn"}, {128, 129}},
    };
    for (const BrokenCopyCase& c : cases) {
        SCOPED_TRACE(c.option);
        std::string network = "server S1 latency=1\nlist <local> " + std::string(c.role) +
                              " 0 S1\nlist S1 " + c.role + " 1 \"\"\nfail S1 copy\n" +
                              "string <local> ProductControl ParentHPDPath cfg\\HPD.DAT\n" +
                              "dword <local> ProductControl Roam" + c.role + " 1\n";
        for (const std::string& file : c.files)
            network += "file S1 $\\" + c.serverPath + "\\" + file + " " + Published(file) + "\n";
        Load(network);
        SetString(HKEY_LOCAL_MACHINE, kProductRoot, "Home Directory", kBrokenCopyHome);
        fs::create_directories(c.directory);
        for (const std::string& file : c.files)
            WriteBytes(fs::path(c.directory) / file, "the " + file + " in place\r\n");

        RunResult result = RunPerchman({c.option});
        ASSERT_TRUE(Finished(result));
        for (const std::string& file : c.files)
            EXPECT_EQ(ReadBytes(fs::path(c.directory) / file), "the " + file + " in place\r\n")
                << file;
        EXPECT_EQ(FilesIn(c.directory), c.files);
        // The agents' lines carry the system's last error, the others the
        // copy's status.
        for (unsigned message : c.failures)
            EXPECT_NE(result.out.find(Message(message) + " - " + Message(2) + " ("),
                      std::string::npos)
                << message << "\n" << Escape(result.out);
        std::string remote = "$\\" + c.serverPath + "\\" + c.files.front();
        std::string local = c.directory + "\\" + c.files.front();
        EXPECT_NE(result.out.find(
                      Crlf(FormatMessageText(158, "S1", remote.c_str(), local.c_str(), 64, 64))),
                  std::string::npos)
            << "the trace names the file in place and the copy's status\n" << Escape(result.out);
        EXPECT_TRUE(lab::AgentRuns().empty());
        std::error_code ignored;
        fs::remove_all(c.directory, ignored);
    }
}

// ---- Quarantine and alerts ----------------------------------------------------

TEST_F(RolesTest, QuarantineSettingsOfTheServerAreCopiedFlat) {
    Load("server S1 latency=1\n"
         "list <local> Quarantine 0 S1\n"
         "list S1 Quarantine 1 \"\"\n"
         "dword S1 ClientConfig\\Quarantine Days 30\n"
         "dword S1 ClientConfig\\Quarantine\\Forward Days 7\n"
         "string S1 ClientConfig\\Quarantine\\Forward Server QSRV\n"
         "binary S1 ClientConfig\\Quarantine\\Forward\\Deep Blob \"01 00 02\"\n");
    RunResult result = Run("/nearest_quarantine", Windows::XP);
    EXPECT_EQ(TakeoverText(result.out, 98, "S1"), "");
    const std::string local = std::string(kProductRoot) + "\\Quarantine";
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, local, "Days"), 30u);
    EXPECT_EQ(ReadString(HKEY_LOCAL_MACHINE, local, "Server"), "QSRV");
    EXPECT_EQ(ReadBinary(HKEY_LOCAL_MACHINE, local, "Blob"), std::string("\x01\x00\x02", 3));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, local + "\\Forward"));
}

TEST_F(RolesTest, QuarantineWithNothingPublishedFails) {
    Load("server S1 latency=1\n"
         "list <local> Quarantine 0 S1\n"
         "list S1 Quarantine 1 \"\"\n"
         "key S1 ClientConfig\\Quarantine\\Empty\n");
    RunResult result = Run("/nearest_quarantine", Windows::NT4);
    EXPECT_EQ(TakeoverText(result.out, 97, "S1"), "");
    HKEY local = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (std::string(kProductRoot) + "\\Quarantine").c_str(),
                            0, KEY_READ, &local), ERROR_SUCCESS);
    DWORD values = 1;
    RegQueryInfoKeyA(local, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &values, nullptr,
                     nullptr, nullptr, nullptr);
    RegCloseKey(local);
    EXPECT_EQ(values, 0u);
}

TEST_F(RolesTest, AlertsNameTheServer) {
    Load("server ALERTSRV latency=1\nlist <local> Alerts 0 ALERTSRV\nlist ALERTSRV Alerts 1 \"\"\n");
    RunResult result = Run("/nearest_alerts", Windows::Win98);
    EXPECT_EQ(TakeoverText(result.out, 104, "ALERTSRV"), "");
    const std::string common = std::string(kProductRoot) + "\\Common";
    EXPECT_EQ(ValueType(HKEY_LOCAL_MACHINE, common, "NQSSERVER"), static_cast<DWORD>(REG_SZ));
    std::optional<lab::Value> stored = lab::ReadValue("<local>", "Common", "NQSSERVER");
    ASSERT_TRUE(stored);
    // Written without a terminator; the system may store one of its own.
    EXPECT_TRUE(stored->data == "ALERTSRV" || stored->data == std::string("ALERTSRV\0", 9))
        << Escape(stored->data);
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, common, "NQS"), 1u);
    EXPECT_EQ(ReadDword(HKEY_LOCAL_MACHINE, kProductControl, "LoadNQS"), 1u);
}

}  // namespace
