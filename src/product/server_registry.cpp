// The level-0 server lists of this machine, and values and keys on servers
// reached through the product library.

#include "product/server_registry.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/handles.h"
#include "common/text.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace {

constexpr unsigned kMsgCannotOpenKey = 62;
constexpr char kProductControlPath[] =
    "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";
constexpr size_t kValueNameSize = 128;
constexpr size_t kPathSize = 384;

// A 128-byte request naming one value: the name, its terminator and the
// empty name that ends the request.
bool PrepareSingleRequest(uint8_t (&block)[product::kSingleBlockSize], const char* name) {
    std::memset(block, 0, sizeof block);
    size_t length = strnlen(name, sizeof block);
    if (length > sizeof block - 2) return false;
    std::memcpy(block, name, length);
    return true;
}

template <typename T>
std::unique_ptr<T[]> Allocate(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// The names of one EnumServerSubKeys batch: consecutive NUL-ended strings.
// listing has one byte more than the library may fill, always NUL.
class NameCursor {
public:
    NameCursor(const char* listing, size_t size) : next_(listing), end_(listing + size) {}
    const char* Next() {
        if (next_ >= end_) return nullptr;
        const char* name = next_;
        next_ += std::strlen(name) + 1;
        return name;
    }

private:
    const char* next_;
    const char* end_;
};

product::Status Walk(const char* server, const char* keyPath, uint32_t* keyCount,
                     uint32_t* valueCount, int recurse, int withValues, void* context,
                     OnServerKey onKey, OnServerValue onValue);

product::Status WalkSubkeys(const char* server, const char* keyPath, char* listing,
                            char* path, uint32_t* keyCount, uint32_t* valueCount,
                            int recurse, int withValues, void* context, OnServerKey onKey,
                            OnServerValue onValue) {
    uint32_t more = 0;
    uint32_t count = 0;
    product::Status status;
    do {
        more = 0;
        count = 0;
        std::memset(listing, 0, product::kListingSize + 1);
        status = Product.EnumServerSubKeys(server, keyPath, listing, product::kListingSize,
                                           &more, &count);
        if (status != 0) break;
        NameCursor names(listing, product::kListingSize);
        for (uint32_t i = 0; i < count; ++i) {
            const char* name = names.Next();
            if (!name) break;
            bool fits = keyPath[0] ? FormatText(path, kPathSize, "%s\\%s", keyPath, name)
                                   : CopyText(path, kPathSize, name);
            if (onKey) onKey(context, name);
            ++*keyCount;
            if (!recurse) continue;
            // A cut path would name another key: refuse to walk it.
            if (!fits) return ERROR_FILENAME_EXCED_RANGE;
            status = Walk(server, path, keyCount, valueCount, recurse, withValues, context,
                          onKey, onValue);
            if (status != 0) return status;
        }
    } while (more);
    return status;
}

product::Status WalkValues(const char* server, const char* keyPath, char* listing,
                           char* name, uint8_t* data, uint32_t* valueCount, void* context,
                           OnServerValue onValue) {
    uint32_t more = 0;
    product::Status status;
    do {
        more = 0;
        uint32_t count = 0;
        std::memset(listing, 0, product::kListingSize + 1);
        status = Product.EnumServerValues(server, keyPath, listing, product::kListingSize,
                                          &more, &count);
        if (status != 0) break;
        const char* cursor = listing;
        const char* end = listing + product::kListingSize;
        for (uint32_t i = 0; i < count && cursor >= listing && cursor < end; ++i) {
            uint32_t type = 0;
            uint32_t size = product::kEntryDataSize;
            name[0] = '\0';
            cursor = Product.UnpackValueEntry(cursor, name, &type, data, &size);
            name[product::kEntryNameSize - 1] = '\0';
            if (size > product::kEntryDataSize) size = product::kEntryDataSize;
            ++*valueCount;
            if (onValue) onValue(context, keyPath, name, type, data, size);
            if (!cursor) break;
        }
    } while (more);
    return status;
}

product::Status Walk(const char* server, const char* keyPath, uint32_t* keyCount,
                     uint32_t* valueCount, int recurse, int withValues, void* context,
                     OnServerKey onKey, OnServerValue onValue) {
    auto path = Allocate<char>(kPathSize);
    auto data = Allocate<uint8_t>(product::kEntryDataSize);
    auto name = Allocate<char>(product::kEntryNameSize);
    auto listing = Allocate<char>(product::kListingSize + 1);
    if (!path || !data || !name || !listing) return product::kOutOfMemory;

    product::Status status = WalkSubkeys(server, keyPath, listing.get(), path.get(), keyCount,
                                         valueCount, recurse, withValues, context, onKey,
                                         onValue);
    if (status == product::kNotFound) status = 0;
    if (withValues && status == 0)
        status = WalkValues(server, keyPath, listing.get(), name.get(), data.get(),
                            valueCount, context, onValue);
    return status == product::kNotFound ? 0 : status;
}

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
    *keyCount = 0;
    return Walk(server, keyPath ? keyPath : "", keyCount, valueCount, recurse, withValues,
                context, onKey, onValue);
}
