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

// How deep a tree of lists goes at most: the search and the export stop
// there. No administrator's tree comes near it; a server that names itself
// level after level would otherwise keep a machine searching for ever.
constexpr int kDeepestListLevel = 64;

// A server name that can be handed on to a takeover holds only what a Windows
// computer name may hold: names come from lists that servers publish and end
// up in HPD.DAT lines, registry values and remote paths, where a blank, a
// quote, a "%", an "=", a bracket or a backslash would change what the line or
// path says. So: no control character, none of \ / : * ? " < > | [ ] + = ; , %
// or a blank, and no period in front. Its length is bounded by the search's
// result (a full DNS name may stand where a 15-byte NetBIOS name usually does,
// and lists have always carried such names), so 1 to 127 bytes.
constexpr size_t kLongestServerName = kServerNameSize - 1;
enum class NameFault { None, Empty, TooLong, LeadingPeriod, Character };
struct NameCheck {
    NameFault fault;
    unsigned char character;  // the first one refused, with NameFault::Character
};
NameCheck CheckServerName(const char* name);
inline bool IsUsableServerName(const char* name) {
    return CheckServerName(name).fault == NameFault::None;
}

// The data of a list value as a read reply carries it: in a 984-byte block
// after the 16-bit length and before the 16-bit type, at most this many bytes.
constexpr size_t kReplyTextRoom = 980;
// The list a reply carries: data holds `available` bytes after the length
// word, `told` is what the length word says. A value that ends in its NUL,
// or is shorter than the room, is whole. One that runs into the room's end
// was cut by the reply's size, and its last entry may be part of a name (the
// list's "MAD-1000" arriving as "MAD-1"): that entry is dropped with the
// separator before it. The text goes into out (kListSize bytes); true when
// something was dropped.
bool TakeReplyList(const unsigned char* data, size_t available, size_t told, char* out);
