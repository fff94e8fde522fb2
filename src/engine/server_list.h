#pragma once
// The server-list text as the engine reads it: names joined by ',' '>' '=',
// each optionally followed by a limit in milliseconds, as in name(500).

#include <cstdint>

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
