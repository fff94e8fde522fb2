#pragma once
// The walk of a key on a server: its subkeys, depth first, and their values,
// as the product library lists them. A server decides how deep and wide its
// keys are, how long its values, and what a listing says; the walk is
// bounded in all of it, gives way to a stop and takes no Windows header, so
// that it is fuzzed natively. Reaching the library is the caller's.

#include <cstddef>
#include <cstdint>

using OnServerKey = int (*)(void* context, const char* subkeyName);
using OnServerValue = int (*)(void* context, const char* keyPath, const char* valueName,
                              uint32_t type, const uint8_t* data, uint32_t size);

// The library's listing calls as plain functions: server, key path, listing
// buffer and its size, "more" and entry count out; the status.
using ServerListingFn = uint32_t (*)(const char* server, const char* keyPath, char* listing,
                                     uint32_t listingSize, uint32_t* more, uint32_t* count);
// Unpacks the value entry at cursor into name (384 bytes), type, data and
// size (in: the data buffer's 384 bytes); the cursor of the next entry.
using UnpackValueFn = const char* (*)(const char* cursor, char* name, uint32_t* type,
                                      uint8_t* data, uint32_t* size);
struct ServerKeyLibrary {
    ServerListingFn enumSubKeys;
    ServerListingFn enumValues;
    UnpackValueFn unpackValue;
    bool (*stopRequested)();
};

// The library's listing and value buffers: 984 and 384 bytes.
constexpr uint32_t kKeyListingSize = 984;
constexpr uint32_t kKeyEntrySize = 384;
// Bounds no real key of settings comes near: subkeys below the walked key,
// and keys and values seen in one walk.
constexpr int kDeepestServerKey = 16;
constexpr uint32_t kMostServerKeys = 256;
constexpr uint32_t kMostServerValues = 1024;
// Statuses of a walk that a bound or a stop ended (ERROR_NOT_ENOUGH_QUOTA,
// ERROR_CANCELLED); a path too long for its buffer (ERROR_FILENAME_EXCED_RANGE);
// kWalkOutOfMemory as the library's own.
constexpr uint32_t kWalkTooLarge = 1816;
constexpr uint32_t kWalkStopped = 1223;
constexpr uint32_t kWalkPathTooLong = 206;
constexpr uint32_t kWalkOutOfMemory = 0x20000002;

// Reports each subkey of keyPath on server to onKey (and, with recurse, walks
// it) and, with withValues, each value to onValue, the subkeys' before the
// key's own. keyCount is set to the keys reported, valueCount raised by the
// values. A value whose name or data the 384-byte buffers cannot hold whole
// is skipped, never handed on cut; so are keys too deep, and a listing that
// says "more" with nothing in it ends; each with a detail line. Returns the
// library's status (2, no such key, counts as 0), or one of the above.
uint32_t WalkKeyOnServer(const ServerKeyLibrary& library, const char* server,
                         const char* keyPath, uint32_t* keyCount, uint32_t* valueCount,
                         int recurse, int withValues, void* context, OnServerKey onKey,
                         OnServerValue onValue);
