#include "product/server_key_walk.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/text.h"
#include "output/detail_lines.h"

namespace {

constexpr unsigned kMsgValueNotWhole = 165;
constexpr unsigned kMsgKeyTooDeep = 166;
constexpr unsigned kMsgWalkTooLarge = 167;
constexpr unsigned kMsgEmptyMore = 169;
constexpr uint32_t kNotFound = 2;
constexpr size_t kPathSize = 384;
// A value entry of a listing: name, NUL, 32-bit type, 32-bit size, data.
constexpr size_t kEntryFixedSize = 8;

struct Walk {
    const ServerKeyLibrary& library;
    const char* server;
    int recurse;
    int withValues;
    void* context;
    OnServerKey onKey;
    OnServerValue onValue;
    uint32_t* valueCount;
    uint32_t keysSeen = 0;
    uint32_t valuesSeen = 0;
};

template <typename T>
std::unique_ptr<T[]> Allocate(size_t count) {
    return std::unique_ptr<T[]>(new (std::nothrow) T[count]());
}

// The names of one subkey batch: consecutive NUL-ended strings. The listing
// has one byte more than the library may fill, always NUL.
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

// What a value entry says of itself, read before the library unpacks it: the
// library copies what fits its buffers, and a cut value must not pass as whole.
struct EntryShape {
    bool insideListing = false;
    size_t nameLength = 0;
    uint32_t dataSize = 0;
};

EntryShape ReadEntryShape(const char* cursor, const char* end) {
    EntryShape shape;
    size_t left = static_cast<size_t>(end - cursor);
    shape.nameLength = strnlen(cursor, left);
    if (left - shape.nameLength < 1 + kEntryFixedSize) return shape;
    const char* fixed = cursor + shape.nameLength + 1;
    std::memcpy(&shape.dataSize, fixed + 4, sizeof shape.dataSize);
    shape.insideListing =
        shape.dataSize <= static_cast<size_t>(end - fixed) - kEntryFixedSize;
    return shape;
}

uint32_t TooLarge(const Walk& walk, const char* keyPath) {
    PrintDetailMessage(kMsgWalkTooLarge, ShownText<>(keyPath).get(),
                       ShownText<>(walk.server).get(), static_cast<int>(kMostServerKeys),
                       static_cast<int>(kMostServerValues));
    return kWalkTooLarge;
}

uint32_t List(const Walk& walk, ServerListingFn listing, const char* keyPath, char* buffer,
              uint32_t* more, uint32_t* count) {
    // Against a slow server every listing takes its time: a stop is honoured
    // before the next one, not after the whole tree.
    if (walk.library.stopRequested && walk.library.stopRequested()) return kWalkStopped;
    *more = 0;
    *count = 0;
    std::memset(buffer, 0, kKeyListingSize + 1);
    return listing(walk.server, keyPath, buffer, kKeyListingSize, more, count);
}

// A batch that says "more" and brings nothing would be asked for again for ever.
bool EndsEmpty(const Walk& walk, const char* keyPath, uint32_t more, uint32_t count) {
    if (!more || count) return false;
    PrintDetailMessage(kMsgEmptyMore, ShownText<>(keyPath).get(), ShownText<>(walk.server).get());
    return true;
}

// Hands each batch of a listing to onBatch(count), asking for the next while
// the listing says there is more; a status of onBatch ends the listing.
template <typename OnBatch>
uint32_t ForEachBatch(const Walk& walk, ServerListingFn listing, const char* keyPath,
                      char* buffer, OnBatch onBatch) {
    uint32_t more = 0;
    uint32_t count = 0;
    do {
        if (uint32_t status = List(walk, listing, keyPath, buffer, &more, &count)) return status;
        if (EndsEmpty(walk, keyPath, more, count)) return 0;
        if (uint32_t status = onBatch(count)) return status;
    } while (more);
    return 0;
}

uint32_t WalkKey(Walk& walk, const char* keyPath, int depth);

uint32_t WalkSubkeys(Walk& walk, const char* keyPath, int depth, char* listing, char* path) {
    return ForEachBatch(walk, walk.library.enumSubKeys, keyPath, listing, [&](uint32_t count) {
        NameCursor names(listing, kKeyListingSize);
        for (uint32_t i = 0; i < count; ++i) {
            const char* name = names.Next();
            if (!name) break;
            if (!name[0]) continue;  // no key has an empty name
            if (walk.keysSeen >= kMostServerKeys) return TooLarge(walk, keyPath);
            bool fits = keyPath[0] ? FormatText(path, kPathSize, "%s\\%s", keyPath, name)
                                   : CopyText(path, kPathSize, name);
            if (walk.onKey) walk.onKey(walk.context, name);
            ++walk.keysSeen;
            if (!walk.recurse) continue;
            // A cut path would name another key: refuse to walk it.
            if (!fits) return kWalkPathTooLong;
            if (depth >= kDeepestServerKey) {
                PrintDetailMessage(kMsgKeyTooDeep, ShownText<>(path).get(),
                                   ShownText<>(walk.server).get(), kDeepestServerKey);
                continue;
            }
            if (uint32_t status = WalkKey(walk, path, depth + 1)) return status;
        }
        return 0u;
    });
}

uint32_t WalkValues(Walk& walk, const char* keyPath, char* listing, char* name, uint8_t* data) {
    return ForEachBatch(walk, walk.library.enumValues, keyPath, listing, [&](uint32_t count) {
        const char* cursor = listing;
        const char* end = listing + kKeyListingSize;
        for (uint32_t i = 0; i < count && cursor && cursor >= listing && cursor < end; ++i) {
            if (walk.valuesSeen >= kMostServerValues) return TooLarge(walk, keyPath);
            ++walk.valuesSeen;
            EntryShape shape = ReadEntryShape(cursor, end);
            uint32_t type = 0;
            uint32_t size = kKeyEntrySize;
            name[0] = '\0';
            const char* next =
                shape.insideListing ? walk.library.unpackValue(cursor, name, &type, data, &size)
                                    : nullptr;
            name[kKeyEntrySize - 1] = '\0';
            bool whole = shape.insideListing && shape.nameLength < kKeyEntrySize &&
                         shape.dataSize <= kKeyEntrySize && size == shape.dataSize;
            if (!whole) {
                PrintDetailMessage(kMsgValueNotWhole,
                                   ShownText<>(std::string_view(cursor, shape.nameLength)).get(),
                                   ShownText<>(keyPath).get(), ShownText<>(walk.server).get(),
                                   static_cast<int>(kKeyEntrySize),
                                   static_cast<int>(shape.nameLength),
                                   static_cast<int>(shape.dataSize));
            } else {
                ++*walk.valueCount;
                if (walk.onValue) walk.onValue(walk.context, keyPath, name, type, data, size);
            }
            cursor = next;
        }
        return 0u;
    });
}

uint32_t WalkKey(Walk& walk, const char* keyPath, int depth) {
    auto path = Allocate<char>(kPathSize);
    auto data = Allocate<uint8_t>(kKeyEntrySize);
    auto name = Allocate<char>(kKeyEntrySize);
    auto listing = Allocate<char>(kKeyListingSize + 1);
    if (!path || !data || !name || !listing) return kWalkOutOfMemory;

    uint32_t status = WalkSubkeys(walk, keyPath, depth, listing.get(), path.get());
    if (status == kNotFound) status = 0;
    if (walk.withValues && status == 0)
        status = WalkValues(walk, keyPath, listing.get(), name.get(), data.get());
    return status == kNotFound ? 0 : status;
}

}  // namespace

uint32_t WalkKeyOnServer(const ServerKeyLibrary& library, const char* server,
                         const char* keyPath, uint32_t* keyCount, uint32_t* valueCount,
                         int recurse, int withValues, void* context, OnServerKey onKey,
                         OnServerValue onValue) {
    Walk walk{library, server, recurse, withValues, context, onKey, onValue, valueCount};
    uint32_t status = WalkKey(walk, keyPath ? keyPath : "", 0);
    *keyCount = walk.keysSeen;
    return status;
}
