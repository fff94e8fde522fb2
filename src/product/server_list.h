#pragma once
// The server-list text: names joined by ',' '>' '=', each optionally
// followed by a limit in milliseconds, as in name(500). The lists are stored
// in the product's registry here and on servers (server_registry.h); the
// search, the import and the export read them with these functions. Lists
// come from servers, so this text is read with no Windows header in reach: it
// is built natively as well and fuzzed there.

#include <cstddef>
#include <cstdint>

constexpr uint32_t NO_LIMIT = 0x7FFFFFFFu;
constexpr size_t kListSize = 1024;  // a server list: at most 1023 characters
// A chosen server's name is kept in buffers of this size.
constexpr size_t kServerNameSize = 128;

struct ListEntry {
    char* name;          // points into the list text, which parsing cuts up
    char separator;      // ',' '>' or '='; ',' after the last entry
    uint32_t limitMs;    // NO_LIMIT without "(N)"
};

// Entries the list holds: a trailing separator makes no empty entry.
int CountListEntries(const char* list);
// Takes the next entry off *cursor (cutting the text in place) and advances
// *cursor past its separator; false when the remainder is empty. Without
// readLimits the name keeps any parenthesised text.
bool TakeListEntry(char** cursor, ListEntry& entry, bool readLimits);
// The number after '(' read as a signed decimal: leading blanks and a sign
// are accepted, digits after the first non-digit are ignored. Text without a
// number gives NO_LIMIT; a number beyond 32 bits is clamped to the nearest
// 32-bit signed value (so a huge limit means no limit).
uint32_t ReadLimit(const char* text);
// A decimal argument such as the seconds of /time_network, read like a limit
// but 0 when there is no number.
int32_t ReadDecimal(const char* text);

// A server name that can be handed on to a takeover: it fits the 128-byte
// result name and carries no control characters. Names come from lists that
// servers publish and end up in HPD.DAT lines, registry values and paths.
bool IsUsableServerName(const char* name);
