// The roles taken over purely through registry values: the quarantine
// settings a server publishes for its clients, and the alerts server.

#include <cstring>
#include <new>

#include "common/handles.h"
#include "common/text.h"
#include "product/product_keys.h"
#include "product/server_registry.h"
#include "takeover/takeovers.h"

namespace {

constexpr char kQuarantineSource[] = "ClientConfig\\Quarantine";
constexpr char kQuarantineKey[] = "Quarantine";
constexpr char kAlertsServerValue[] = "NQSSERVER";
constexpr char kAlertsClientValue[] = "NQS";
constexpr char kLoadAlertsClientValue[] = "LoadNQS";

struct QuarantineValue {
    char name[kKeyEntrySize];
    uint32_t type;
    uint32_t size;
    uint8_t data[kKeyEntrySize];
};

// The values a walk delivered, kept until the walk is over. The walk hands on
// kMostServerValues at most.
class QuarantineValues {
public:
    QuarantineValues() = default;
    ~QuarantineValues() { delete[] values_; }
    QuarantineValues(const QuarantineValues&) = delete;
    QuarantineValues& operator=(const QuarantineValues&) = delete;

    void Add(const char* name, uint32_t type, const uint8_t* data, uint32_t size) {
        if (count_ == capacity_ && !Grow()) {
            complete_ = false;
            return;
        }
        QuarantineValue& value = values_[count_++];
        CopyText(value.name, name);
        value.type = type;
        value.size = size < sizeof value.data ? size : sizeof value.data;
        std::memcpy(value.data, data, value.size);
    }
    // Whether every value delivered was kept.
    bool complete() const { return complete_; }
    const QuarantineValue* begin() const { return values_; }
    const QuarantineValue* end() const { return values_ + count_; }

private:
    bool Grow() {
        uint32_t capacity = capacity_ ? capacity_ * 2 : 16;
        QuarantineValue* grown = new (std::nothrow) QuarantineValue[capacity];
        if (!grown) return false;
        if (count_) std::memcpy(grown, values_, count_ * sizeof *values_);
        delete[] values_;
        values_ = grown;
        capacity_ = capacity;
        return true;
    }

    QuarantineValue* values_ = nullptr;
    uint32_t count_ = 0;
    uint32_t capacity_ = 0;
    bool complete_ = true;
};

int KeepQuarantineValue(void* context, const char*, const char* valueName, uint32_t type,
                        const uint8_t* data, uint32_t size) {
    static_cast<QuarantineValues*>(context)->Add(valueName, type, data, size);
    return 0;
}

// The local key is flat: values of subkeys land beside the top key's, and the
// walk delivers the top key's own values last so that they win. The key is
// created only for a value, so that a server with nothing to hand out leaves
// this machine's registry as it was.
void WriteQuarantineValues(const QuarantineValues& values) {
    if (values.begin() == values.end() || !Keys.Root) return;
    RegKey key;
    if (RegOpenKeyExA(Keys.Root, kQuarantineKey, 0, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS)
        RegCreateKeyExA(Keys.Root, kQuarantineKey, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_SET_VALUE, nullptr, key.put(), nullptr);
    if (!key) return;
    for (const QuarantineValue& value : values)
        RegSetValueExA(key.get(), value.name, 0, value.type, value.data, value.size);
}

int IgnoreSubkey(void*, const char*) { return 0; }

DWORD SetDword(HKEY key, const char* name, DWORD value) {
    return static_cast<DWORD>(RegSetValueExA(key, name, 0, REG_DWORD,
                                             reinterpret_cast<const BYTE*>(&value),
                                             sizeof value));
}

}  // namespace

int TakeOverQuarantine(const char* server) {
    // Taken whole: a stop during the walk leaves the settings as they were,
    // not half this server's.
    QuarantineValues values;
    uint32_t keyCount = 0;
    uint32_t valueCount = 0;
    product::Status status = WalkServerKey(server, kQuarantineSource, &keyCount, &valueCount, 1,
                                           1, &values, IgnoreSubkey, KeepQuarantineValue);
    if (status == kWalkStopped || !values.complete()) return 0;
    WriteQuarantineValues(values);
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
