// The roles taken over purely through registry values: the quarantine
// settings a server publishes for its clients, and the alerts server.

#include <cstring>

#include "common/handles.h"
#include "product/product_keys.h"
#include "product/server_registry.h"
#include "takeover/takeovers.h"

namespace {

constexpr char kQuarantineSource[] = "ClientConfig\\Quarantine";
constexpr char kQuarantineKey[] = "Quarantine";
constexpr char kAlertsServerValue[] = "NQSSERVER";
constexpr char kAlertsClientValue[] = "NQS";
constexpr char kLoadAlertsClientValue[] = "LoadNQS";

struct QuarantineTarget {
    RegKey key;
    bool triedCreate = false;
};

// The local key is created on the first value only, so that a server with
// nothing to hand out leaves this machine's registry as it was.
HKEY TargetKey(QuarantineTarget& target) {
    if (!target.key && !target.triedCreate) {
        target.triedCreate = true;
        if (Keys.Root)
            RegCreateKeyExA(Keys.Root, kQuarantineKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_SET_VALUE, nullptr, target.key.put(), nullptr);
    }
    return target.key.get();
}

int WriteQuarantineValue(void* context, const char*, const char* valueName, uint32_t type,
                         const uint8_t* data, uint32_t size) {
    // The local key is flat: values of subkeys land beside the top key's,
    // and the walk delivers the top key's own values last so that they win.
    HKEY key = TargetKey(*static_cast<QuarantineTarget*>(context));
    if (key) RegSetValueExA(key, valueName, 0, type, data, size);
    return 0;
}

int IgnoreSubkey(void*, const char*) { return 0; }

DWORD SetDword(HKEY key, const char* name, DWORD value) {
    return static_cast<DWORD>(RegSetValueExA(key, name, 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&value),
                                             sizeof value));
}

}  // namespace

int TakeOverQuarantine(const char* server) {
    QuarantineTarget target;
    if (Keys.Root)
        RegOpenKeyExA(Keys.Root, kQuarantineKey, 0, KEY_SET_VALUE, target.key.put());
    uint32_t keyCount = 0;
    uint32_t valueCount = 0;
    WalkServerKey(server, kQuarantineSource, &keyCount, &valueCount, 1, 1, &target,
                  IgnoreSubkey, WriteQuarantineValue);
    return valueCount > 0 ? 1 : 0;
}

int TakeOverAlerts(const char* server) {
    // Written with the name's length as its byte count, no terminator; the NT
    // family adds one of its own when it stores the value.
    RegSetValueExA(Keys.Common, kAlertsServerValue, 0, REG_SZ,
                   reinterpret_cast<const BYTE*>(server),
                   static_cast<DWORD>(std::strlen(server)));
    SetDword(Keys.Common, kAlertsClientValue, 1);
    SetDword(Keys.ProductControl, kLoadAlertsClientValue, 1);
    return 1;
}
