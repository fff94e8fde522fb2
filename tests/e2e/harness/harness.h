#pragma once
// Runs the real perchman.exe (or another program of the build) as a child
// process under Wine and gives the tests what it did: the exact bytes of its
// standard output, its debugger-channel lines, its exit code. Also the
// registry of the prefix, read and written directly, and the expected texts
// taken from the program's own string table.

#include <windows.h>

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

// Wine's per-application Windows version of the program being run. Win31
// reports the Win32s platform: neither the NT nor the Windows 9x family.
enum class Windows { Win95, Win98, WinMe, NT4, Win2000, XP, Win31 };
// "win95", "win98", "winme", "nt40", "win2k", "winxp", "win31"
const char* WineVersionName(Windows version);

struct RunOptions {
    Windows version = Windows::XP;
    // Wine's DLL overrides for this run, in WINEDLLOVERRIDES form ("wininet=d"
    // disables wininet.dll). Wine takes WINEDLL* of a child from its own Unix
    // environment, not from the block handed to CreateProcess, so they are
    // set as the program's per-application overrides in the registry.
    std::string dllOverrides;
    DWORD timeoutMs = 120000;
    std::string workingDirectory;             // empty: the test's own
    std::vector<std::string> extraEnvironment;  // "NAME=value", replaces NAME
    // Runs on a thread of its own once the child has started (given its
    // process id); the run returns only after it has returned.
    std::function<void(DWORD processId)> whileRunning;
};

struct RunResult {
    std::string out;                      // standard output, exact bytes
    std::string err;                      // standard error, exact bytes
    std::vector<std::string> debugLines;  // one entry per OutputDebugString, as sent
    std::vector<std::string> modules;     // DLLs loaded after start, lower-case file names
    DWORD exitCode = 0;
    bool finished = false;  // false: killed at the timeout (or never started)
    bool started = false;

    bool Loaded(std::string_view dllName) const;  // e.g. "wininet.dll"
};

// Paths of this build (the lab, the tests) as Windows paths.
std::string BuildPath(std::string_view relative);
// The programs under test: this build's, or the shipped 32-bit ones when the
// tests are built as 32-bit programs.
std::string PerchmanPath();
std::string PerchplanPath();

// The Windows version and DLL overrides are set for the program's file name
// for the run and removed after it.
RunResult RunPerchman(const std::vector<std::string>& args, const RunOptions& options = {});
// Any program, with the Windows version set for its own file name.
RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     const RunOptions& options = {});

// perchman.exe with no argument, as the Windows 9x startup key starts it: a
// console of its own that nobody sees, no debugger. The caller owns
// *process; false (GetLastError says why) when it could not be started.
bool StartUnattendedPerchman(HANDLE* process, DWORD* processId);

// Sets (or with nullopt removes) Wine's Windows version for one program name.
void SetWindowsVersion(const std::string& exeName, std::optional<Windows> version);
// Replaces the per-application DLL overrides of one program name ("" removes them).
void SetDllOverrides(const std::string& exeName, std::string_view overrides);

// The command line the child receives: the program and each argument quoted so
// that the C runtime's parser gives the argument back unchanged.
std::string QuoteArgument(std::string_view argument);
std::string BuildCommandLine(const std::string& program, const std::vector<std::string>& args);

// "\n" -> "\r\n", as the console's text mode writes.
std::string Crlf(std::string_view text);
// A message of perchman.exe's string table (empty when missing), and one
// formatted with printf arguments (plain C values: const char*, int ...).
std::string Message(unsigned id);
std::string FormatMessageText(unsigned id, ...);
// A regular expression for message id as the console shows it: its literal
// text byte for byte, each placeholder a group (a text one within its line).
std::string MessagePattern(unsigned id);
// The captures of every occurrence of message id in out (console bytes, CR LF
// line ends), one group per placeholder, in order.
std::vector<std::vector<std::string>> MessageOccurrences(const std::string& out, unsigned id);
// The usage text as the console shows it: message 140 with the sixteen option
// words, line breaks as CR LF.
std::string UsageOutput();
// The text of a debugger-channel line after its "%d - " clock prefix.
std::string WithoutClock(std::string_view debugLine);

// ---- Registry of the prefix --------------------------------------------------
bool CreateKey(HKEY root, const std::string& path);
bool SetValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
              const std::string& bytes);
bool SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value);
bool SetString(HKEY root, const std::string& path, const std::string& name,
               const std::string& value);  // REG_SZ, terminator included
bool SetBinary(HKEY root, const std::string& path, const std::string& name,
               const std::string& bytes);
std::optional<DWORD> ReadDword(HKEY root, const std::string& path, const std::string& name);
// REG_SZ / REG_EXPAND_SZ text without its terminator.
std::optional<std::string> ReadString(HKEY root, const std::string& path, const std::string& name);
std::optional<std::string> ReadBinary(HKEY root, const std::string& path, const std::string& name);
std::optional<DWORD> ValueType(HKEY root, const std::string& path, const std::string& name);
bool ValueExists(HKEY root, const std::string& path, const std::string& name);
bool KeyExists(HKEY root, const std::string& path);
bool DeleteValue(HKEY root, const std::string& path, const std::string& name);
// Removes the key with everything under it; true also when it was absent.
bool DeleteKeyTree(HKEY root, const std::string& path);

// ---- Fixtures ------------------------------------------------------------------
// "Parent" while the machine has given its parent up.
constexpr char kParentMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";
// The client GUID the tests store, bytes 00 to 0F, and this machine's record
// key on a parent with that GUID ("Clients\\<computer>_::_03020100...").
extern const std::string kTestGuid;
std::string TestClientRecordKey();
constexpr char kProductRoot[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion";
constexpr char kProductControl[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";

// Each test starts from this machine's product root with its empty subkeys and
// a reset lab network, and leaves no product root behind.
class ProductTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    // Loads a lab network from its description; a bad one fails the test.
    void Load(const std::string& description);
};
void ResetProductRoot();   // remove and recreate the root with its subkeys
void RemoveProductRoot();

// A folder of its own under the temporary folder for a test's files; the
// files named through it and the folder go when it does.
class ScratchFolder {
public:
    explicit ScratchFolder(const std::string& name);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& Directory() const { return directory_; }
    std::string Path(const std::string& leaf);
    // Writes the bytes as they are (no line-end conversion).
    std::string Write(const std::string& leaf, const std::string& bytes);

private:
    std::string directory_;
    std::vector<std::string> files_;
};

// ---- Assertions ----------------------------------------------------------------
// Control bytes and bytes above 0x7E written as \r \n \t \xNN.
std::string Escape(std::string_view bytes);
// Equal bytes, or a message naming the first difference with both sides
// shown escaped around it.
::testing::AssertionResult BytesEqual(const char* expectedExpr, const char* actualExpr,
                                      std::string_view expected, std::string_view actual);
// A run that finished by itself (not killed), with a readable account if not.
::testing::AssertionResult Finished(const RunResult& result);
std::string Describe(const RunResult& result);

}  // namespace e2e

#define EXPECT_BYTES_EQ(expected, actual) EXPECT_PRED_FORMAT2(::e2e::BytesEqual, expected, actual)
#define ASSERT_BYTES_EQ(expected, actual) ASSERT_PRED_FORMAT2(::e2e::BytesEqual, expected, actual)
