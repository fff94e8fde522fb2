// The level-0 server lists of this machine, and values and keys on servers
// reached through the product library.

#include "product/server_registry.h"

#include <cstring>

#include "common/handles.h"
#include "common/text.h"
#include "output/output.h"
#include "platform/stop_request.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace {

constexpr unsigned kMsgCannotOpenKey = 62;
constexpr char kProductControlPath[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";
constexpr size_t kValueNameSize = 128;

// A 128-byte request naming one value: the name, its terminator and the
// empty name that ends the request.
bool PrepareSingleRequest(uint8_t (&block)[product::kSingleBlockSize], const char* name) {
    std::memset(block, 0, sizeof block);
    size_t length = strnlen(name, sizeof block);
    if (length > sizeof block - 2) return false;
    std::memcpy(block, name, length);
    return true;
}

static_assert(kKeyListingSize == product::kListingSize && kKeyEntrySize == product::kEntryDataSize &&
              kKeyEntrySize == product::kEntryNameSize);
static_assert(kWalkOutOfMemory == product::kOutOfMemory);

uint32_t EnumSubKeys(const char* server, const char* keyPath, char* listing, uint32_t size,
                     uint32_t* more, uint32_t* count) {
    return Product.EnumServerSubKeys(server, keyPath, listing, size, more, count);
}
uint32_t EnumValues(const char* server, const char* keyPath, char* listing, uint32_t size,
                    uint32_t* more, uint32_t* count) {
    return Product.EnumServerValues(server, keyPath, listing, size, more, count);
}
const char* UnpackValue(const char* cursor, char* name, uint32_t* type, uint8_t* data,
                        uint32_t* size) {
    return Product.UnpackValueEntry(cursor, name, type, data, size);
}

constexpr ServerKeyLibrary kProductKeyLibrary = {EnumSubKeys, EnumValues, UnpackValue,
                                                 EngineStopRequested};

}  // namespace

LONG ReadLocalServerList(char* list, const char* role, uint32_t* elapsedMs) {
    uint32_t start = ClockMs();
    list[0] = '\0';
    RegKey key;
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductControlPath, 0, KEY_READ, key.put());
    if (status != ERROR_SUCCESS) {
        char format[kTextSize];
        char text[kTextSize];
        LoadMessage(kMsgCannotOpenKey, format);
        FormatText(text, sizeof text, format, "ProductControl");
        SetLastError(static_cast<DWORD>(status));
        PrintLastError(text, nullptr, true);
    } else {
        char valueName[kValueNameSize];
        FormatText(valueName, "RoamManaging%sLevel0", role);
        DWORD size = kListSize;
        status = RegQueryValueExA(key.get(), valueName, nullptr, nullptr,
                                  reinterpret_cast<BYTE*>(list), &size);
        // Whatever the type, the text ends within the buffer.
        if (status != ERROR_SUCCESS) size = 0;
        list[size < kListSize ? size : kListSize - 1] = '\0';
    }
    *elapsedMs = ElapsedMs(start, ClockMs());
    return status;
}

DWORD ReadServerDword(const char* server, const char* keyPath, const char* valueName,
                      DWORD defaultValue) {
    if (!Product.ReadServerValues || !Product.GetValueBlockData) return defaultValue;
    uint8_t block[product::kSingleBlockSize];
    if (!PrepareSingleRequest(block, valueName)) return defaultValue;
    uint32_t count = 1;
    if (Product.ReadServerValues(server, keyPath, block, sizeof block, &count) != 0)
        return defaultValue;
    uint16_t type = 0;
    const uint8_t* data = Product.GetValueBlockData(block, 0, &type);
    uint32_t length = block[0] | (static_cast<uint32_t>(block[1]) << 8);
    // The data must be a whole DWORD inside the block, whatever the library says.
    uintptr_t first = reinterpret_cast<uintptr_t>(block);
    uintptr_t at = reinterpret_cast<uintptr_t>(data);
    if (type != REG_DWORD || length < sizeof(DWORD) || at < first ||
        at > first + sizeof block - sizeof(DWORD))
        return defaultValue;
    DWORD value;
    std::memcpy(&value, data, sizeof value);
    return value;
}

product::Status WriteServerDword(const char* server, const char* keyPath,
                                 const char* valueName, DWORD value) {
    if (!Product.AddValueToBlock || !Product.WriteServerValues)
        return product::kLibraryUnavailable;
    uint8_t block[product::kSingleBlockSize] = {};
    size_t nameLength = strnlen(valueName, sizeof block);
    if (product::WriteEntrySize(static_cast<uint32_t>(nameLength), sizeof value) >= sizeof block)
        return ERROR_INVALID_PARAMETER;
    uint32_t used = 0;
    if (product::Status status =
            Product.AddValueToBlock(block, valueName, REG_DWORD, sizeof value, &value, &used))
        return status;
    return Product.WriteServerValues(server, keyPath, 1, block, used);
}

product::Status WalkServerKey(const char* server, const char* keyPath, uint32_t* keyCount,
                              uint32_t* valueCount, int recurse, int withValues,
                              void* context, OnServerKey onKey, OnServerValue onValue) {
    if (!Product.EnumServerSubKeys || !Product.EnumServerValues || !Product.UnpackValueEntry)
        return product::kLibraryUnavailable;
    // Counted over the whole walk, nested keys included.
    return WalkKeyOnServer(kProductKeyLibrary, server, keyPath, keyCount, valueCount, recurse,
                           withValues, context, onKey, onValue);
}
