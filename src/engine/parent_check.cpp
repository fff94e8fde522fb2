// The parent check of the main loops and /check_parent, and the release of
// the parent when the machine stops or on /shutdown.

#include "engine/parent_check.h"

#include <cstring>

#include "common/text.h"
#include "engine/nearest.h"
#include "engine/network_change.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/server_registry.h"

namespace {

constexpr unsigned kMsgParentWorks = 106;
constexpr unsigned kMsgParentTrouble = 107;
constexpr size_t kCheckNameSize = 128;
constexpr size_t kReleaseNameSize = 256;
constexpr DWORD kPatternUnreadable = 0xFFFFFFFFu;
constexpr size_t kComputerNameSize = 16;

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

int ReleaseParent() {
    char parent[kReleaseNameSize + 1];
    if (ReadParentName(parent, sizeof parent) && std::strcmp(parent, kParentMarker) != 0) {
        WriteRootString("LastParent", parent);
        BYTE guid[kClientGuidSize];
        char recordKey[kTextSize];
        // Without the GUID there is no telling which record is ours; leave the
        // parent's records alone rather than mark a stranger's. An empty name
        // (a switch in progress) names no server at all.
        if (parent[0] && ReadClientGuid(guid) &&
            ClientRecordKey(guid, recordKey, sizeof recordKey))
            WriteServerDword(parent, recordKey, "good", 0);
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
