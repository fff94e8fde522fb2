// The parent check of the main loops and /check_parent, and the release of
// the parent when the machine stops or on /shutdown.

#include "engine/parent_check.h"

#include <cstring>
#include <new>

#include "common/text.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"
#include "product/server_registry.h"
#include "platform/stop_request.h"

namespace {

constexpr unsigned kMsgParentWorks = 106;
constexpr unsigned kMsgParentTrouble = 107;
constexpr size_t kCheckNameSize = 128;
constexpr size_t kReleaseNameSize = 256;
constexpr DWORD kPatternUnreadable = 0xFFFFFFFFu;
constexpr size_t kComputerNameSize = 16;

// Written by the engine's thread only (takeovers and the release run there).
char OfferedParent[kReleaseNameSize + 1] = "";

// The remote mark of a release, on a thread of its own when the release may
// not wait for it: whichever of the two lets go last frees it.
struct RemoteMark {
    volatile LONG owners = 2;
    char server[kReleaseNameSize + 1];
    char recordKey[kTextSize];
};

void LetGo(RemoteMark* mark) {
    if (InterlockedDecrement(&mark->owners) == 0) delete mark;
}

DWORD WINAPI WriteRemoteMark(void* context) {
    auto* mark = static_cast<RemoteMark*>(context);
    WriteServerDword(mark->server, mark->recordKey, "good", 0);
    ReleaseProductLibrary();
    LetGo(mark);
    return 0;
}

// The parent learns that this client is gone. At a shutdown a parent whose
// name resolves but whose host does not answer would hold the system's
// shutdown for as long as the library waits: the write then gets
// ShutdownRemoteLimitMs and goes on alone, if it must, while the process ends.
void MarkClientGone(const char* parent, const char* recordKey) {
    RemoteMark* mark = SystemShutdownNoted() ? new (std::nothrow) RemoteMark : nullptr;
    if (!mark || !CopyText(mark->server, parent) || !CopyText(mark->recordKey, recordKey)) {
        delete mark;
        WriteServerDword(parent, recordKey, "good", 0);
        return;
    }
    HoldProductLibrary();
    HANDLE thread = CreateThread(nullptr, 0, WriteRemoteMark, mark, 0, nullptr);
    // Without a thread the mark is left out: at a shutdown it is not worth
    // an unbounded wait, and the local values say the same.
    if (!thread) {
        ReleaseProductLibrary();
        delete mark;
        return;
    }
    WaitForSingleObject(thread, ShutdownRemoteLimitMs);
    CloseHandle(thread);
    LetGo(mark);
}

// Reads the root's "Parent" into out (size bytes with its NUL); false when
// it is missing, not a string or too long.
bool ReadParentName(char* out, size_t size) {
    out[0] = '\0';
    DWORD type = 0;
    DWORD bytes = static_cast<DWORD>(size - 1);
    if (RegQueryValueExA(Keys.Root, "Parent", nullptr, &type, reinterpret_cast<BYTE*>(out),
                         &bytes) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
        out[0] = '\0';
        return false;
    }
    out[bytes] = '\0';  // the stored string need not carry its NUL
    return true;
}

// Strings are stored without their NUL, as the product itself stores them.
void WriteRootString(const char* name, const char* text) {
    RegSetValueExA(Keys.Root, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text),
                   static_cast<DWORD>(std::strlen(text)));
}

}  // namespace

int CheckParent(int reportOnly) {
    char parent[kCheckNameSize + 1];
    DWORD connected = 0;
    DWORD pattern = 0;
    bool healthy = false;
    if (ReadParentName(parent, sizeof parent) && parent[0] &&
        std::strcmp(parent, kParentMarker) != 0) {
        connected = ReadConnected();
        pattern = ReadServerDword(parent, "", "UsingPattern", kPatternUnreadable);
        healthy = pattern != kPatternUnreadable && connected != 0;
    }
    PrintMessageId(healthy ? kMsgParentWorks : kMsgParentTrouble, nullptr, false, parent,
                   static_cast<int>(connected), static_cast<unsigned>(pattern));
    if (!healthy && !reportOnly) NearestParent(0);
    return 0;
}

DWORD ShutdownRemoteLimitMs = 5000;

void NoteParentOffered(const char* server) { CopyText(OfferedParent, server); }

int ReleaseParent() {
    char parent[kReleaseNameSize + 1];
    if (ReadParentName(parent, sizeof parent) && std::strcmp(parent, kParentMarker) != 0) {
        // Empty: a switch is pending, and the product may still take its file
        // in. The release names the parent the product was told about, so
        // that the next start finds the machine's records agreeing with it.
        if (!parent[0]) CopyText(parent, OfferedParent);
        WriteRootString("LastParent", parent);
        BYTE guid[kClientGuidSize];
        char recordKey[kTextSize];
        // Without the GUID there is no telling which record is ours; leave the
        // parent's records alone rather than mark a stranger's.
        if (parent[0] && ReadClientGuid(guid) &&
            ClientRecordKey(guid, recordKey, sizeof recordKey))
            MarkClientGone(parent, recordKey);
    }
    WriteRootString("Parent", kParentMarker);
    return 1;
}

bool ReadClientGuid(BYTE (&guid)[kClientGuidSize]) {
    std::memset(guid, 0, sizeof guid);
    DWORD bytes = sizeof guid;
    return RegQueryValueExA(Keys.Root, "GUID", nullptr, nullptr, guid, &bytes) ==
               ERROR_SUCCESS &&
           bytes == sizeof guid;
}

bool ClientRecordKey(const BYTE guid[kClientGuidSize], char* out, size_t size) {
    char computerName[kComputerNameSize + 1] = "";
    OrxGetComputerName(computerName, nullptr);
    computerName[kComputerNameSize] = '\0';
    return FormatClientRecordKey(computerName, guid, out, size);
}

bool FormatClientRecordKey(const char* computerName, const BYTE guid[kClientGuidSize],
                           char* out, size_t size) {
    // The GUID as four little-endian 32-bit words.
    return FormatText(out, size,
                      "Clients\\%s_::_%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x%02x",
                      computerName, guid[3], guid[2], guid[1], guid[0], guid[7], guid[6],
                      guid[5], guid[4], guid[11], guid[10], guid[9], guid[8], guid[15],
                      guid[14], guid[13], guid[12]);
}
