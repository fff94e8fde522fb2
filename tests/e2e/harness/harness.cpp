// The child process runner, the registry helpers and the assertions of the
// end-to-end tests.

// GetFinalPathNameByHandleW and CancelIoEx are newer than the program's target.
#undef _WIN32_WINNT
#define _WIN32_WINNT 0x0601
#include "harness/harness.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <regex>

#include "labnet.h"

namespace e2e {

namespace {

constexpr char kBuildDir[] = PERCHMAN_BUILD_DIR;
constexpr char kProgramsDir[] = PERCHMAN_PROGRAMS_DIR;
constexpr char kAppDefaults[] = "Software\\Wine\\AppDefaults\\";
constexpr DWORD kKillGraceMs = 10000;    // for the exit event after TerminateProcess
constexpr DWORD kDrainGraceMs = 2000;    // for output still held by a grandchild
constexpr DWORD kKilledExitCode = 0xDEAD;
constexpr size_t kMaxDebugString = 65536;

const char* kProductSubkeys[] = {"PatternManager", "ProductControl", "ClientScan",
                                 "ForwardScan",    "SystemScan",     "Common",
                                 "Quarantine",     "Clients"};

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE value) : h(value == INVALID_HANDLE_VALUE ? nullptr : value) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { reset(); }
    void reset(HANDLE value = nullptr) {
        if (h) CloseHandle(h);
        h = value == INVALID_HANDLE_VALUE ? nullptr : value;
    }
    HANDLE get() const { return h; }
    explicit operator bool() const { return h != nullptr; }
};

struct Key {
    HKEY h = nullptr;
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (h) RegCloseKey(h);
    }
};

std::string Lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

std::string FileNameOf(const std::string& path) {
    size_t slash = path.find_last_of("\\/");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ---- Output pipes --------------------------------------------------------------

// Reads one pipe on its own thread so that a child writing more than the pipe
// holds never blocks. The read end is overlapped so that a read left waiting
// on a grandchild that inherited the write end can be cancelled.
class PipeReader {
public:
    bool Open(SECURITY_ATTRIBUTES* inheritable) {
        static LONG counter = 0;
        char name[128];
        std::snprintf(name, sizeof name, "\\\\.\\pipe\\perchman-e2e-%lu-%ld",
                      GetCurrentProcessId(), InterlockedIncrement(&counter));
        read_.reset(CreateNamedPipeA(name, PIPE_ACCESS_INBOUND | FILE_FLAG_OVERLAPPED |
                                               FILE_FLAG_FIRST_PIPE_INSTANCE,
                                     PIPE_TYPE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr));
        if (!read_) return false;
        write_.reset(CreateFileA(name, GENERIC_WRITE, 0, inheritable, OPEN_EXISTING, 0, nullptr));
        stop_.reset(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        return write_ && stop_;
    }
    HANDLE ChildEnd() const { return write_.get(); }
    void CloseChildEnd() { write_.reset(); }
    bool Start() {
        thread_.reset(CreateThread(nullptr, 0, &PipeReader::Run, this, 0, nullptr));
        return static_cast<bool>(thread_);
    }
    // Waits for the end of the output; what a grandchild keeps open is given
    // up after a short grace.
    std::string Finish() {
        if (thread_) {
            if (WaitForSingleObject(thread_.get(), kDrainGraceMs) != WAIT_OBJECT_0) {
                SetEvent(stop_.get());
                WaitForSingleObject(thread_.get(), INFINITE);
            }
            thread_.reset();
        }
        return std::move(data_);
    }

private:
    static DWORD WINAPI Run(void* self) {
        static_cast<PipeReader*>(self)->Loop();
        return 0;
    }
    void Loop() {
        Handle done(CreateEventA(nullptr, TRUE, FALSE, nullptr));
        std::vector<char> buffer(65536);
        for (;;) {
            OVERLAPPED overlapped = {};
            overlapped.hEvent = done.get();
            ResetEvent(done.get());
            DWORD count = 0;
            bool stopped = false;
            if (!ReadFile(read_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &count,
                          &overlapped)) {
                if (GetLastError() != ERROR_IO_PENDING) break;
                HANDLE waits[2] = {done.get(), stop_.get()};
                if (WaitForMultipleObjects(2, waits, FALSE, INFINITE) == WAIT_OBJECT_0 + 1) {
                    CancelIoEx(read_.get(), &overlapped);
                    stopped = true;
                }
                BOOL ok = GetOverlappedResult(read_.get(), &overlapped, &count, TRUE);
                data_.append(buffer.data(), count);
                if (!ok || stopped) break;
                continue;
            }
            data_.append(buffer.data(), count);
        }
    }

    Handle read_, write_, stop_, thread_;
    std::string data_;
};

// ---- Child environment -----------------------------------------------------------

std::string NameOf(const std::string& entry) {
    size_t equals = entry.find('=', entry.empty() || entry[0] != '=' ? 0 : 1);
    return Lower(entry.substr(0, equals));
}

std::vector<char> BuildEnvironment(const RunOptions& options) {
    std::vector<std::string> entries;
    if (char* block = GetEnvironmentStringsA()) {
        for (const char* p = block; *p; p += std::strlen(p) + 1) entries.emplace_back(p);
        FreeEnvironmentStringsA(block);
    }
    const std::vector<std::string>& added = options.extraEnvironment;
    for (const std::string& entry : added) {
        std::string name = NameOf(entry);
        entries.erase(std::remove_if(entries.begin(), entries.end(),
                                     [&](const std::string& e) { return NameOf(e) == name; }),
                      entries.end());
        entries.push_back(entry);
    }
    std::vector<char> block;
    for (const std::string& entry : entries) {
        block.insert(block.end(), entry.begin(), entry.end());
        block.push_back('\0');
    }
    block.push_back('\0');
    return block;
}

// ---- Debugger loop -----------------------------------------------------------------

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
    size_t units = std::min<size_t>(info.nDebugStringLength, kMaxDebugString);
    if (!info.fUnicode) {
        std::string text(units, '\0');
        SIZE_T got = 0;
        ReadProcessMemory(process, info.lpDebugStringData, text.data(), units, &got);
        text.resize(got);
        text.resize(strnlen(text.data(), text.size()));
        return text;
    }
    std::wstring wide(units, L'\0');
    SIZE_T got = 0;
    ReadProcessMemory(process, info.lpDebugStringData, wide.data(), units * sizeof(wchar_t), &got);
    wide.resize(wcsnlen(wide.data(), got / sizeof(wchar_t)));
    std::string text(wide.size() * 4 + 1, '\0');
    int n = WideCharToMultiByte(CP_ACP, 0, wide.data(), static_cast<int>(wide.size()),
                                text.data(), static_cast<int>(text.size()), nullptr, nullptr);
    text.resize(n > 0 ? n : 0);
    return text;
}

std::string ModuleName(HANDLE file) {
    if (!file) return {};
    wchar_t path[MAX_PATH * 2];
    DWORD n = GetFinalPathNameByHandleW(file, path, MAX_PATH * 2, 0);
    if (n == 0 || n >= MAX_PATH * 2) return {};
    char narrow[MAX_PATH * 4];
    int length = WideCharToMultiByte(CP_ACP, 0, path, static_cast<int>(n), narrow,
                                     sizeof narrow, nullptr, nullptr);
    return Lower(FileNameOf(std::string(narrow, length > 0 ? length : 0)));
}

// Runs the debug events of the child until it exits; kills it at the deadline.
void DebugUntilExit(const PROCESS_INFORMATION& child, DWORD timeoutMs, RunResult& result) {
    DWORD start = GetTickCount();
    bool killed = false;
    bool loaderBreakpointSeen = false;
    for (;;) {
        DWORD elapsed = GetTickCount() - start;
        DWORD wait = killed ? kKillGraceMs : (elapsed >= timeoutMs ? 0 : timeoutMs - elapsed);
        DEBUG_EVENT event = {};
        if (!WaitForDebugEvent(&event, wait)) {
            if (killed) return;  // no exit event even after the kill
            TerminateProcess(child.hProcess, kKilledExitCode);
            killed = true;
            continue;
        }
        DWORD continueStatus = DBG_CONTINUE;
        bool exited = false;
        switch (event.dwDebugEventCode) {
        case CREATE_PROCESS_DEBUG_EVENT:
            if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
            break;
        case LOAD_DLL_DEBUG_EVENT:
            if (event.u.LoadDll.hFile) {
                std::string name = ModuleName(event.u.LoadDll.hFile);
                if (!name.empty()) result.modules.push_back(name);
                CloseHandle(event.u.LoadDll.hFile);
            }
            break;
        case OUTPUT_DEBUG_STRING_EVENT:
            result.debugLines.push_back(ReadDebugString(child.hProcess, event.u.DebugString));
            break;
        case EXCEPTION_DEBUG_EVENT:
            // The loader's breakpoint announces the debugger; every other
            // exception is the child's own business.
            if (event.u.Exception.ExceptionRecord.ExceptionCode == EXCEPTION_BREAKPOINT &&
                !loaderBreakpointSeen) {
                loaderBreakpointSeen = true;
            } else {
                continueStatus = DBG_EXCEPTION_NOT_HANDLED;
            }
            break;
        case EXIT_PROCESS_DEBUG_EVENT:
            result.exitCode = event.u.ExitProcess.dwExitCode;
            exited = true;
            break;
        default:
            break;
        }
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, continueStatus);
        if (exited) {
            result.finished = !killed;
            return;
        }
    }
}

// Right after a namespace's Wine server has started, its programs may see no
// network connection for a moment, and a program under test would then refuse
// its operation with message 160. A process of tests waits for the connection
// once, before its first test, as the program sees it.
class LabNetworkReady : public ::testing::Environment {
public:
    void SetUp() override {
        if (!std::getenv("PERCHMAN_NETNS")) return;  // no lab network to wait for
        HMODULE wininet = LoadLibraryA("wininet.dll");
        using Connected = BOOL(WINAPI*)(DWORD*, DWORD);
        auto connected = reinterpret_cast<Connected>(
            reinterpret_cast<void*>(GetProcAddress(wininet, "InternetGetConnectedState")));
        ASSERT_TRUE(connected) << "wininet.dll cannot tell the connection state";
        DWORD flags = 0;
        DWORD start = GetTickCount();
        while (!connected(&flags, 0) && GetTickCount() - start < kNetworkWaitMs) Sleep(100);
        DWORD waited = GetTickCount() - start;
        ASSERT_TRUE(connected(&flags, 0)) << "Wine saw no network connection within " << waited << " ms";
        if (waited >= 100) std::printf("the lab's network was seen after %lu ms\n", waited);
    }

private:
    static constexpr DWORD kNetworkWaitMs = 30000;
};

::testing::Environment* const labNetworkReady = ::testing::AddGlobalTestEnvironment(new LabNetworkReady);

}  // namespace

// ---- Running ---------------------------------------------------------------------------

const char* WineVersionName(Windows version) {
    switch (version) {
    case Windows::Win95: return "win95";
    case Windows::Win98: return "win98";
    case Windows::WinMe: return "winme";
    case Windows::NT4: return "nt40";
    case Windows::Win2000: return "win2k";
    case Windows::XP: return "winxp";
    case Windows::Win31: return "win31";
    }
    return "winxp";
}

bool RunResult::Loaded(std::string_view dllName) const {
    std::string wanted = Lower(std::string(dllName));
    return std::find(modules.begin(), modules.end(), wanted) != modules.end();
}

std::string BuildPath(std::string_view relative) {
    std::string path = kBuildDir;
    if (!relative.empty()) {
        path += '\\';
        path.append(relative);
    }
    return path;
}

bool StartUnattendedPerchman(HANDLE* process, DWORD* processId) {
    std::string commandLine = BuildCommandLine(PerchmanPath(), {});
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION started = {};
    if (!CreateProcessA(PerchmanPath().c_str(), commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NEW_CONSOLE, nullptr, nullptr, &startup, &started))
        return false;
    CloseHandle(started.hThread);
    *process = started.hProcess;
    *processId = started.dwProcessId;
    return true;
}

std::string PerchmanPath() { return std::string(kProgramsDir) + "\\src\\perchman.exe"; }
std::string PerchplanPath() {
    return std::string(kProgramsDir) + "\\src\\planner\\perchplan.exe";
}

void SetWindowsVersion(const std::string& exeName, std::optional<Windows> version) {
    std::string key = kAppDefaults + exeName;
    if (version)
        SetString(HKEY_CURRENT_USER, key, "Version", WineVersionName(*version));
    else
        DeleteValue(HKEY_CURRENT_USER, key, "Version");
}

void SetDllOverrides(const std::string& exeName, std::string_view overrides) {
    std::string key = kAppDefaults + exeName + "\\DllOverrides";
    DeleteKeyTree(HKEY_CURRENT_USER, key);
    if (overrides.empty()) return;
    CreateKey(HKEY_CURRENT_USER, key);
    // "a,b=order;c=order": the registry holds one value per DLL, and a
    // disabled DLL has an empty order.
    while (!overrides.empty()) {
        size_t end = overrides.find(';');
        std::string_view group = overrides.substr(0, end);
        overrides = end == std::string_view::npos ? std::string_view() : overrides.substr(end + 1);
        size_t equals = group.find('=');
        std::string_view names = group.substr(0, equals);
        std::string order(equals == std::string_view::npos ? "" : group.substr(equals + 1));
        if (order == "d") order.clear();
        while (!names.empty()) {
            size_t comma = names.find(',');
            std::string name(names.substr(0, comma));
            names = comma == std::string_view::npos ? std::string_view() : names.substr(comma + 1);
            if (!name.empty()) SetString(HKEY_CURRENT_USER, key, name, order);
        }
    }
}

std::string QuoteArgument(std::string_view argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string_view::npos)
        return std::string(argument);
    std::string quoted = "\"";
    for (size_t i = 0;; ++i) {
        size_t backslashes = 0;
        while (i < argument.size() && argument[i] == '\\') {
            ++i;
            ++backslashes;
        }
        if (i == argument.size()) {
            // They stand before the closing quote: each is doubled.
            quoted.append(backslashes * 2, '\\');
            break;
        }
        if (argument[i] == '"') {
            quoted.append(backslashes * 2 + 1, '\\');
        } else {
            quoted.append(backslashes, '\\');
        }
        quoted.push_back(argument[i]);
    }
    quoted.push_back('"');
    return quoted;
}

std::string BuildCommandLine(const std::string& program, const std::vector<std::string>& args) {
    // The program name is parsed without backslash escapes; it holds no quote.
    std::string line = "\"";
    line += program;
    line += '"';
    for (const std::string& arg : args) {
        line += ' ';
        line += QuoteArgument(arg);
    }
    return line;
}

namespace {

RunResult StartAndDebug(const std::string& path, const std::vector<std::string>& args,
                        const RunOptions& options) {
    RunResult result;
    SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, nullptr, TRUE};
    PipeReader out, err;
    Handle input(CreateFileA("NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inheritable,
                             OPEN_EXISTING, 0, nullptr));
    if (!out.Open(&inheritable) || !err.Open(&inheritable) || !input) {
        result.err = "harness: cannot make the child's standard handles";
        return result;
    }

    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input.get();
    startup.hStdOutput = out.ChildEnd();
    startup.hStdError = err.ChildEnd();
    std::string commandLine = BuildCommandLine(path, args);
    std::vector<char> environment = BuildEnvironment(options);
    PROCESS_INFORMATION child = {};
    BOOL created = CreateProcessA(
        path.c_str(), commandLine.data(), nullptr, nullptr,
        TRUE,                     // the three standard handles
        DEBUG_ONLY_THIS_PROCESS,  // its OutputDebugString lines come to us
        environment.data(),
        options.workingDirectory.empty() ? nullptr : options.workingDirectory.c_str(), &startup,
        &child);
    DWORD createError = GetLastError();
    // Only the child keeps the write ends: its exit then ends the output.
    out.CloseChildEnd();
    err.CloseChildEnd();
    input.reset();
    if (!created) {
        char text[128];
        std::snprintf(text, sizeof text, "harness: CreateProcess failed (%lu)", createError);
        result.err = text;
        return result;
    }
    result.started = true;
    out.Start();
    err.Start();
    // The debug events must be handled on this thread (the debugger's), so
    // the test's own action runs beside it.
    struct Action {
        const RunOptions* options;
        DWORD processId;
        static DWORD WINAPI Run(void* self) {
            auto* action = static_cast<Action*>(self);
            action->options->whileRunning(action->processId);
            return 0;
        }
    } action{&options, child.dwProcessId};
    Handle actionThread(options.whileRunning
                            ? CreateThread(nullptr, 0, Action::Run, &action, 0, nullptr)
                            : nullptr);
    DebugUntilExit(child, options.timeoutMs, result);
    if (actionThread) WaitForSingleObject(actionThread.get(), INFINITE);
    WaitForSingleObject(child.hProcess, kKillGraceMs);
    if (!result.finished) GetExitCodeProcess(child.hProcess, &result.exitCode);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
    result.out = out.Finish();
    result.err += err.Finish();
    return result;
}

}  // namespace

RunResult RunProgram(const std::string& path, const std::vector<std::string>& args,
                     const RunOptions& options) {
    const std::string exeName = FileNameOf(path);
    SetWindowsVersion(exeName, options.version);
    SetDllOverrides(exeName, options.dllOverrides);
    RunResult result = StartAndDebug(path, args, options);
    // A later start by hand or by the demo gets Wine's own settings again.
    SetWindowsVersion(exeName, std::nullopt);
    SetDllOverrides(exeName, "");
    return result;
}

RunResult RunPerchman(const std::vector<std::string>& args, const RunOptions& options) {
    return RunProgram(PerchmanPath(), args, options);
}

// ---- Texts ---------------------------------------------------------------------------------

std::string Crlf(std::string_view text) {
    std::string converted;
    converted.reserve(text.size() + text.size() / 16);
    for (char c : text) {
        if (c == '\n') converted.push_back('\r');
        converted.push_back(c);
    }
    return converted;
}

std::string Message(unsigned id) {
    static HMODULE program =
        LoadLibraryExA(PerchmanPath().c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!program) return {};
    char text[8192];
    int n = LoadStringA(program, id, text, sizeof text);
    return n > 0 ? std::string(text, n) : std::string();
}

std::string FormatMessageText(unsigned id, ...) {
    std::string format = Message(id);
    std::vector<char> text(65536);
    va_list args;
    va_start(args, id);
    int n = std::vsnprintf(text.data(), text.size(), format.c_str(), args);
    va_end(args);
    return n > 0 ? std::string(text.data(), std::min<size_t>(n, text.size() - 1)) : std::string();
}

std::string MessagePattern(unsigned id) {
    std::string text = Crlf(e2e::Message(id));
    std::string pattern;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '%' && i + 1 < text.size()) {
            char kind = text[++i];
            if (kind == 'd') pattern += "(-?[0-9]+)";
            else if (kind == 'x') pattern += "([0-9a-f]+)";
            else if (kind == 'c') pattern += "([\\s\\S])";
            else if (kind == 's') pattern += "([^\\r\\n]*?)";
            else pattern += kind;
            continue;
        }
        if (std::string_view("\\^$.|?*+()[]{}").find(c) != std::string_view::npos)
            pattern += '\\';
        pattern += c;
    }
    return pattern;
}

// The captures of every occurrence of message id in out, in order.
std::vector<std::vector<std::string>> MessageOccurrences(const std::string& out, unsigned id) {
    std::regex pattern(MessagePattern(id));
    std::vector<std::vector<std::string>> found;
    for (std::sregex_iterator it(out.begin(), out.end(), pattern), end; it != end; ++it) {
        std::vector<std::string> groups;
        for (size_t g = 1; g < it->size(); ++g) groups.push_back((*it)[g].str());
        found.push_back(groups);
    }
    return found;
}

ScratchFolder::ScratchFolder(const std::string& name) {
    char temp[MAX_PATH] = "";
    GetTempPathA(sizeof temp, temp);
    directory_ = std::string(temp) + name;
    CreateDirectoryA(directory_.c_str(), nullptr);
}

ScratchFolder::~ScratchFolder() {
    for (const std::string& path : files_) DeleteFileA(path.c_str());
    RemoveDirectoryA(directory_.c_str());
}

std::string ScratchFolder::Path(const std::string& leaf) {
    std::string path = directory_ + "\\" + leaf;
    files_.push_back(path);
    return path;
}

std::string ScratchFolder::Write(const std::string& leaf, const std::string& bytes) {
    std::string path = Path(leaf);
    if (FILE* file = std::fopen(path.c_str(), "wb")) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
        std::fclose(file);
    }
    return path;
}

std::string UsageOutput() {
    return Crlf(FormatMessageText(140, "import", "export", "install", "remove", "nearest",
                                  "nearest_parent", "nearest_quarantine", "nearest_alerts",
                                  "nearest_HPD", "nearest_KPZ", "nearest_WDR", "nearest_primary",
                                  "time_network", "check_parent", "shutdown", "debug"));
}

std::string WithoutClock(std::string_view debugLine) {
    size_t digits = 0;
    while (digits < debugLine.size() && debugLine[digits] >= '0' && debugLine[digits] <= '9')
        ++digits;
    if (digits == 0 || debugLine.substr(digits, 3) != " - ") return std::string(debugLine);
    return std::string(debugLine.substr(digits + 3));
}

// ---- Registry ------------------------------------------------------------------------------

bool CreateKey(HKEY root, const std::string& path) {
    Key key;
    return RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key.h,
                           nullptr) == ERROR_SUCCESS;
}

bool SetValue(HKEY root, const std::string& path, const std::string& name, DWORD type,
              const std::string& bytes) {
    Key key;
    if (RegCreateKeyExA(root, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key.h,
                        nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.h, name.c_str(), 0, type,
                          reinterpret_cast<const BYTE*>(bytes.data()),
                          static_cast<DWORD>(bytes.size())) == ERROR_SUCCESS;
}

bool SetDword(HKEY root, const std::string& path, const std::string& name, DWORD value) {
    return SetValue(root, path, name, REG_DWORD,
                    std::string(reinterpret_cast<const char*>(&value), sizeof value));
}

bool SetString(HKEY root, const std::string& path, const std::string& name,
               const std::string& value) {
    return SetValue(root, path, name, REG_SZ, std::string(value.c_str(), value.size() + 1));
}

bool SetBinary(HKEY root, const std::string& path, const std::string& name,
               const std::string& bytes) {
    return SetValue(root, path, name, REG_BINARY, bytes);
}

namespace {

std::optional<std::pair<DWORD, std::string>> QueryValue(HKEY root, const std::string& path,
                                                        const std::string& name) {
    Key key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_QUERY_VALUE, &key.h) != ERROR_SUCCESS)
        return std::nullopt;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key.h, name.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return std::nullopt;
    std::string data(size, '\0');
    if (RegQueryValueExA(key.h, name.c_str(), nullptr, &type,
                         reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    data.resize(size);
    return std::make_pair(type, data);
}

}  // namespace

std::optional<DWORD> ReadDword(HKEY root, const std::string& path, const std::string& name) {
    auto value = QueryValue(root, path, name);
    if (!value || value->first != REG_DWORD || value->second.size() != sizeof(DWORD))
        return std::nullopt;
    DWORD number;
    std::memcpy(&number, value->second.data(), sizeof number);
    return number;
}

std::optional<std::string> ReadString(HKEY root, const std::string& path, const std::string& name) {
    auto value = QueryValue(root, path, name);
    if (!value || (value->first != REG_SZ && value->first != REG_EXPAND_SZ)) return std::nullopt;
    std::string text = value->second;
    text.resize(strnlen(text.data(), text.size()));
    return text;
}

std::optional<std::string> ReadBinary(HKEY root, const std::string& path, const std::string& name) {
    auto value = QueryValue(root, path, name);
    if (!value) return std::nullopt;
    return value->second;
}

std::optional<DWORD> ValueType(HKEY root, const std::string& path, const std::string& name) {
    auto value = QueryValue(root, path, name);
    if (!value) return std::nullopt;
    return value->first;
}

bool ValueExists(HKEY root, const std::string& path, const std::string& name) {
    return QueryValue(root, path, name).has_value();
}

bool KeyExists(HKEY root, const std::string& path) {
    Key key;
    return RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key.h) == ERROR_SUCCESS;
}

bool DeleteValue(HKEY root, const std::string& path, const std::string& name) {
    Key key;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_SET_VALUE, &key.h) != ERROR_SUCCESS) return false;
    return RegDeleteValueA(key.h, name.c_str()) == ERROR_SUCCESS;
}

bool DeleteKeyTree(HKEY root, const std::string& path) {
    {
        Key key;
        LONG status = RegOpenKeyExA(root, path.c_str(), 0, KEY_READ | KEY_WRITE, &key.h);
        if (status == ERROR_FILE_NOT_FOUND) return true;
        if (status != ERROR_SUCCESS) return false;
        // Subkeys first; the index stays 0 because each deletion shifts the rest.
        for (;;) {
            char name[256];
            DWORD length = sizeof name;
            if (RegEnumKeyExA(key.h, 0, name, &length, nullptr, nullptr, nullptr, nullptr) !=
                ERROR_SUCCESS)
                break;
            if (!DeleteKeyTree(key.h, name)) return false;
        }
    }
    return RegDeleteKeyA(root, path.c_str()) == ERROR_SUCCESS;
}

// ---- Fixtures --------------------------------------------------------------------------------

void RemoveProductRoot() { DeleteKeyTree(HKEY_LOCAL_MACHINE, kProductRoot); }

void ResetProductRoot() {
    RemoveProductRoot();
    for (const char* subkey : kProductSubkeys)
        CreateKey(HKEY_LOCAL_MACHINE, std::string(kProductRoot) + "\\" + subkey);
}

const std::string kTestGuid("\x00\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f", 16);

std::string TestClientRecordKey() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return std::string("Clients\\") + name + "_::_03020100070605040b0a09080f0e0d0c";
}

void ProductTest::SetUp() {
    lab::ResetNetwork();
    ResetProductRoot();
    ASSERT_TRUE(KeyExists(HKEY_LOCAL_MACHINE, kProductControl));
}

void ProductTest::TearDown() {
    lab::ResetNetwork();
    RemoveProductRoot();
}

void ProductTest::Load(const std::string& description) {
    std::string error;
    ASSERT_TRUE(lab::LoadNetwork(description, &error)) << error;
}

namespace {

// The program finds the lab's stand-in product library through its COM
// registration; registered once per test run.
class LabLibraryEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        ASSERT_TRUE(lab::RegisterProductLibrary(BuildPath("lab\\labproduct.dll")));
    }
};

[[maybe_unused]] ::testing::Environment* const kLabLibrary =
    ::testing::AddGlobalTestEnvironment(new LabLibraryEnvironment);

}  // namespace

// ---- Assertions ------------------------------------------------------------------------------

std::string Escape(std::string_view bytes) {
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\r') text += "\\r";
        else if (c == '\n') text += "\\n";
        else if (c == '\t') text += "\\t";
        else if (c == '\\') text += "\\\\";
        else if (u < 0x20 || u > 0x7E) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            text += hex;
        } else {
            text.push_back(c);
        }
    }
    return text;
}

namespace {

constexpr size_t kWholeLimit = 1600;  // shown whole up to this size
constexpr size_t kContext = 120;

std::string Around(std::string_view bytes, size_t offset) {
    size_t from = offset > kContext ? offset - kContext : 0;
    size_t to = std::min(bytes.size(), offset + kContext);
    std::string shown = from ? "..." : "";
    shown += Escape(bytes.substr(from, offset - from));
    shown += " >>>";
    shown += offset < bytes.size() ? Escape(bytes.substr(offset, to - offset)) : "(end)";
    if (to < bytes.size()) shown += "...";
    return shown;
}

}  // namespace

::testing::AssertionResult BytesEqual(const char* expectedExpr, const char* actualExpr,
                                      std::string_view expected, std::string_view actual) {
    if (expected == actual) return ::testing::AssertionSuccess();
    size_t offset = 0;
    while (offset < expected.size() && offset < actual.size() && expected[offset] == actual[offset])
        ++offset;
    auto failure = ::testing::AssertionFailure();
    failure << actualExpr << " differs from " << expectedExpr << " at byte " << offset
            << " (lengths " << expected.size() << " expected, " << actual.size() << " actual)\n"
            << "  expected: " << Around(expected, offset) << "\n"
            << "  actual:   " << Around(actual, offset);
    if (expected.size() <= kWholeLimit && actual.size() <= kWholeLimit)
        failure << "\n  whole expected: \"" << Escape(expected) << "\"\n  whole actual:   \""
                << Escape(actual) << "\"";
    return failure;
}

std::string Describe(const RunResult& result) {
    char head[160];
    std::snprintf(head, sizeof head, "started %d, finished %d, exit code %ld (0x%lX), %zu debug lines",
                  result.started, result.finished, static_cast<long>(result.exitCode),
                  static_cast<unsigned long>(result.exitCode), result.debugLines.size());
    std::string text = head;
    std::string_view out = result.out;
    text += "\n  stdout: \"" + Escape(out.substr(0, 2000)) + (out.size() > 2000 ? "\"..." : "\"");
    if (!result.err.empty()) text += "\n  stderr: \"" + Escape(result.err.substr(0, 2000)) + "\"";
    for (size_t i = 0; i < result.debugLines.size() && i < 20; ++i)
        text += "\n  debug: \"" + Escape(result.debugLines[i]) + "\"";
    return text;
}

::testing::AssertionResult Finished(const RunResult& result) {
    if (result.started && result.finished) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << (result.started ? "the run was killed at its timeout: " : "the run did not start: ")
           << Describe(result);
}

}  // namespace e2e
