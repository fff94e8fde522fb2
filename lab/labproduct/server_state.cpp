// The per-process picture of the lab network. Behaviour values are read from
// the registry once per network generation: the lab network library bumps the
// generation on every change, so a long-running program sees a network that a
// test changes under it, while a steady network costs one registry read per
// call.

#include "server_state.h"

#include <cstring>
#include <map>

#include "common/handles.h"
#include "common/text.h"
#include "shared_store.h"
#include "../common/lab_layout.h"

namespace labproduct {
namespace {

class Lock {
public:
    Lock() { InitializeCriticalSection(&section_); }
    ~Lock() { DeleteCriticalSection(&section_); }
    void enter() { EnterCriticalSection(&section_); }
    void leave() { LeaveCriticalSection(&section_); }

private:
    CRITICAL_SECTION section_;
};

class Guard {
public:
    explicit Guard(Lock& lock) : lock_(lock) { lock_.enter(); }
    ~Guard() { lock_.leave(); }

private:
    Lock& lock_;
};

struct ServerBehaviour {
    bool known = false;
    std::string keyName;  // the server's key name as the lab stores it
    DWORD latencyMs = 0;
    DWORD jitterMs = 0;
    uint32_t jitterState = 1;
    bool down = false;
    DWORD timeoutMs = lab::kDefaultTimeoutMs;
    DWORD downStatus = lab::kDefaultDownStatus;
    std::string failRead;
    DWORD failReadStatus = lab::kDefaultFailReadStatus;
    DWORD failWrite = 0;
    DWORD failCopy = 0;
    DWORD lieLength = 0;
    bool endless = false;
    std::string endlessList;
    bool emptyMore = false;
    DWORD slowMs = 0;
    std::string slowOperations;
};

struct State {
    Lock lock;
    RegKey labKey;
    bool haveGeneration = false;
    DWORD generation = 0;
    bool haveSettings = false;
    LabSettings settings;
    std::map<std::string, ServerBehaviour> servers;  // by upper-case name
    std::map<std::string, DWORD> cursors;
    struct Reply {
        const uint8_t* block = nullptr;
        ReplyLayout layout;
    };
    Reply replies[8];
    size_t nextReply = 0;
};

State& TheState() {
    static State state;
    return state;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool QueryDword(HKEY key, const char* name, DWORD* value) {
    DWORD type = 0, size = sizeof(DWORD), data = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&data), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != sizeof(DWORD))
        return false;
    *value = data;
    return true;
}

bool QueryString(HKEY key, const char* name, std::string* value) {
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    std::string text(size + 1, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()),
                         &size) != ERROR_SUCCESS)
        return false;
    text.resize(strnlen(text.data(), size));
    *value = text;
    return true;
}

// Drops everything cached when the network changed since the last call.
// Called with the lock held.
void CheckGeneration(State& s) {
    DWORD generation = 0;
    bool readable = false;
    for (int attempt = 0; attempt < 2 && !readable; ++attempt) {
        if (!s.labKey &&
            RegOpenKeyExA(HKEY_LOCAL_MACHINE, lab::kLabKey, 0, KEY_QUERY_VALUE, s.labKey.put()))
            break;
        DWORD type = 0, size = sizeof generation;
        LONG status = RegQueryValueExA(s.labKey.get(), lab::kGenerationValue, nullptr, &type,
                                       reinterpret_cast<BYTE*>(&generation), &size);
        if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
            readable = true;
            if (status != ERROR_SUCCESS) generation = 0;
        } else {
            s.labKey.reset();  // the key was deleted under us: open it afresh
        }
    }
    if (readable && s.haveGeneration && generation == s.generation) return;
    s.haveGeneration = readable;
    s.generation = generation;
    s.haveSettings = false;
    s.servers.clear();
    s.cursors.clear();
}

const LabSettings& Settings(State& s) {
    if (s.haveSettings) return s.settings;
    s.settings = LabSettings{};
    if (s.labKey) {
        HKEY key = s.labKey.get();
        QueryDword(key, lab::kUnknownServerDelayValue, &s.settings.unknownServerDelayMs);
        DWORD value = 0;
        if (QueryDword(key, lab::kCallerCodeKeyValue, &value)) s.settings.callerCodeKey = value;
        if (QueryDword(key, lab::kRecordCallsValue, &value)) s.settings.recordCalls = value == 1;
        s.settings.hasVirusAlert = QueryString(key, lab::kVirusAlertValue, &s.settings.virusAlert);
        QueryString(key, lab::kAnswerAnyValue, &s.settings.answerAny);
        QueryString(key, lab::kSharedServersValue, &s.settings.sharedServers);
    }
    s.haveSettings = true;
    return s.settings;
}

// A name that can be a registry key name: no backslash, not empty, not too long.
bool CanBeServerKey(std::string_view name) {
    if (name.empty() || name.size() > 255) return false;
    for (char c : name)
        if (c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20) return false;
    return name != "." && name != "..";
}

ServerBehaviour& Behaviour(State& s, const char* server) {
    std::string_view name = server ? server : "";
    std::string upper = Upper(name);
    auto found = s.servers.find(upper);
    if (found != s.servers.end()) return found->second;

    ServerBehaviour b;
    RegKey key;
    std::string path = std::string(lab::kServersKey) + "\\" + std::string(name);
    if (CanBeServerKey(name) &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, key.put()) ==
            ERROR_SUCCESS) {
        b.known = true;
        b.keyName = std::string(name);
        QueryDword(key.get(), lab::kLatencyValue, &b.latencyMs);
        QueryDword(key.get(), lab::kJitterValue, &b.jitterMs);
        DWORD seed = 0;
        QueryDword(key.get(), lab::kSeedValue, &seed);
        b.jitterState = seed;
        DWORD down = 0;
        QueryDword(key.get(), lab::kDownValue, &down);
        b.down = down == 1;
        QueryDword(key.get(), lab::kTimeoutValue, &b.timeoutMs);
        QueryDword(key.get(), lab::kDownStatusValue, &b.downStatus);
        QueryString(key.get(), lab::kFailReadValue, &b.failRead);
        QueryDword(key.get(), lab::kFailReadStatusValue, &b.failReadStatus);
        QueryDword(key.get(), lab::kFailWriteValue, &b.failWrite);
        QueryDword(key.get(), lab::kFailCopyValue, &b.failCopy);
        QueryDword(key.get(), lab::kLieLengthValue, &b.lieLength);
        b.endless = QueryString(key.get(), lab::kEndlessListValue, &b.endlessList);
        DWORD emptyMore = 0;
        QueryDword(key.get(), lab::kEmptyMoreValue, &emptyMore);
        b.emptyMore = emptyMore == 1;
        QueryDword(key.get(), lab::kSlowMsValue, &b.slowMs);
        QueryString(key.get(), lab::kSlowOperationsValue, &b.slowOperations);
    }
    return s.servers.emplace(upper, b).first->second;
}

// Whether a slowness given for some operations (blank-separated; none named:
// all of them) holds for this one.
bool IsSlowOperation(const std::string& operations, const char* operation) {
    if (operations.empty()) return true;
    size_t start = 0;
    while (start < operations.size()) {
        size_t end = operations.find(' ', start);
        if (end == std::string::npos) end = operations.size();
        if (EqualsNoCase(std::string_view(operations).substr(start, end - start), operation))
            return true;
        start = end + 1;
    }
    return false;
}

// Deterministic jitter in 0..jitterMs from the server's seed.
DWORD NextJitter(ServerBehaviour& b) {
    if (b.jitterMs == 0) return 0;
    b.jitterState = b.jitterState * 1664525u + 1013904223u;
    return (b.jitterState >> 8) % (b.jitterMs + 1);
}

LONGLONG Frequency() {
    static LONGLONG frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f.QuadPart;
    }();
    return frequency;
}

// A server failed for the whole fleet: an empty file named by it in the
// shared folder. Looked at on every call, so that every machine sees it fail
// at once, without a change to each prefix.
bool DownForEveryMachine(const std::string& sharedServers, const std::string& keyName) {
    if (sharedServers.empty()) return false;
    std::string marker = sharedServers + "\\" + lab::kSharedDownFolder + "\\" + keyName;
    return GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::string CursorKey(char kind, const char* server, const char* keyPath) {
    std::string key(1, kind);
    key += '|';
    key += Upper(server ? server : "");
    key += '|';
    key += Upper(keyPath ? keyPath : "");
    return key;
}

}  // namespace

ServerCall::ServerCall(const char* server, const char* operation, const char* keyPath,
                       const char* detail) {
    QueryPerformanceCounter(&start_);
    State& s = TheState();
    bool record = false;
    std::string sharedServers;
    {
        Guard guard(s.lock);
        CheckGeneration(s);
        record = Settings(s).recordCalls;
        sharedServers = Settings(s).sharedServers;
        ServerBehaviour* found = &Behaviour(s, server);
        // A name no lab server holds may be answered by one that answers for all.
        const std::string& answerAny = Settings(s).answerAny;
        if (!found->known && !answerAny.empty()) found = &Behaviour(s, answerAny.c_str());
        ServerBehaviour& b = *found;
        if (!b.known) {
            delayMs_ = Settings(s).unknownServerDelayMs;
            refusal_ = lab::kDefaultDownStatus;
        } else if (b.down || DownForEveryMachine(sharedServers, b.keyName)) {
            delayMs_ = b.timeoutMs;
            refusal_ = b.downStatus;
        } else {
            delayMs_ = b.latencyMs + NextJitter(b);
            registryRoot_ = std::string(lab::kServersKey) + "\\" + b.keyName + "\\" +
                            lab::kServerRegistrySubkey;
            fileArea_ = std::string(lab::kFilesFolder) + "\\" + b.keyName;
            if (!sharedServers.empty()) {
                sharedRoot_ = sharedServers + "\\" + lab::kSharedRegistryFolder + "\\" +
                              shared::EncodeName(b.keyName);
                fileArea_ = sharedServers + "\\" + lab::kSharedFilesFolder + "\\" + b.keyName;
            }
            failRead_ = b.failRead;
            failReadStatus_ = b.failReadStatus;
            failWrite_ = b.failWrite;
            failCopy_ = b.failCopy;
            lieLength_ = b.lieLength;
            answersEveryLevel_ = b.endless;
            endlessList_ = b.endlessList.empty() ? b.keyName : b.endlessList;
            emptyMore_ = b.emptyMore;
            if (b.slowMs && IsSlowOperation(b.slowOperations, operation)) delayMs_ += b.slowMs;
        }
    }
    if (record) AppendCallLog(operation, server, keyPath, detail, sharedServers);
}

ServerCall::~ServerCall() {
    if (delayMs_ == 0) return;
    LONGLONG frequency = Frequency();
    LONGLONG due = start_.QuadPart + static_cast<LONGLONG>(delayMs_) * frequency / 1000;
    // Sleep for the bulk, spin the last two milliseconds: Sleep alone may
    // overshoot by a scheduler tick, which a 20 ms server cannot afford.
    const LONGLONG spinTicks = 2 * frequency / 1000;
    for (;;) {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        LONGLONG left = due - now.QuadPart;
        if (left <= 0) return;
        if (left > spinTicks) Sleep(static_cast<DWORD>((left - spinTicks) * 1000 / frequency));
    }
}

std::string ServerCall::keyPathUnderRoot(const char* keyPath) const {
    std::string path = registryRoot_;
    if (keyPath && *keyPath) {
        path += '\\';
        path += keyPath;
    }
    return path;
}

bool ServerCall::failsRead(const char* valueName) const {
    return !failRead_.empty() && EqualsNoCase(failRead_, valueName ? valueName : "");
}

LabSettings CurrentSettings() {
    State& s = TheState();
    Guard guard(s.lock);
    CheckGeneration(s);
    return Settings(s);
}

DWORD ListingCursor(char kind, const char* server, const char* keyPath) {
    State& s = TheState();
    Guard guard(s.lock);
    auto found = s.cursors.find(CursorKey(kind, server, keyPath));
    return found == s.cursors.end() ? 0 : found->second;
}

void SetListingCursor(char kind, const char* server, const char* keyPath, DWORD next) {
    State& s = TheState();
    Guard guard(s.lock);
    s.cursors[CursorKey(kind, server, keyPath)] = next;
}

void EndListing(char kind, const char* server, const char* keyPath) {
    State& s = TheState();
    Guard guard(s.lock);
    s.cursors.erase(CursorKey(kind, server, keyPath));
}

void RememberReply(const uint8_t* block, ReplyLayout layout) {
    State& s = TheState();
    Guard guard(s.lock);
    for (State::Reply& reply : s.replies) {
        if (reply.block == block) {
            reply.layout = std::move(layout);
            return;
        }
    }
    State::Reply& slot = s.replies[s.nextReply++ % (sizeof s.replies / sizeof s.replies[0])];
    slot.block = block;
    slot.layout = std::move(layout);
}

bool RecallReply(const uint8_t* block, ReplyLayout* layout) {
    State& s = TheState();
    Guard guard(s.lock);
    for (const State::Reply& reply : s.replies) {
        if (reply.block == block) {
            *layout = reply.layout;
            return true;
        }
    }
    return false;
}

void AppendCallLog(const char* operation, const char* server, const char* keyPath,
                   const char* detail, const std::string& sharedServers) {
    std::string line;
    std::string path = lab::kCallLogPath;
    if (!sharedServers.empty()) {
        // Milliseconds since 1970, so that the logs of a fleet's machines
        // line up: one clock, the host's, serves every prefix.
        FILETIME now;
        GetSystemTimeAsFileTime(&now);
        ULONGLONG ticks = (static_cast<ULONGLONG>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
        char stamp[32];
        FormatText(stamp, "%llu ", (ticks - 116444736000000000ULL) / 10000);
        line = stamp;
        char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
        DWORD size = sizeof computer;
        if (!GetComputerNameA(computer, &size)) CopyText(computer, "unknown");
        path = sharedServers + "\\" + lab::kSharedCallsFolder + "\\" + computer + ".log";
    }
    line += operation;
    line += ' ';
    line += server && *server ? server : "-";
    line += ' ';
    line += keyPath && *keyPath ? keyPath : "-";
    line += ' ';
    line += detail && *detail ? detail : "-";
    line += "\r\n";
    // One write per line in append mode keeps lines of several processes whole.
    FileHandle file(CreateFileA(path.c_str(), FILE_APPEND_DATA,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return;
    DWORD written = 0;
    WriteFile(file.get(), line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
}

}  // namespace labproduct
