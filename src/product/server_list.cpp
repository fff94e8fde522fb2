// Reading server-list text.

#include "product/server_list.h"

#include <cstring>

namespace {

constexpr char kSeparators[] = ",>=";
// Besides control characters; "," "=" ">" and "(" end a name before it is checked.
constexpr char kRefusedInNames[] = "\\/:*?\"<>|[]+=;,% ";

bool IsBlank(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

// Parses like "%d" without its undefined behaviour on overflow: the value is
// clamped to the int32 range. false when no digit follows the optional sign.
bool ParseSigned(const char* text, int32_t* value) {
    while (IsBlank(*text)) ++text;
    bool negative = false;
    if (*text == '+' || *text == '-') negative = *text++ == '-';
    if (*text < '0' || *text > '9') return false;
    int64_t magnitude = 0;
    constexpr int64_t kCap = int64_t{1} << 32;  // past either bound of int32
    for (; *text >= '0' && *text <= '9'; ++text)
        if (magnitude < kCap) magnitude = magnitude * 10 + (*text - '0');
    int64_t signedValue = negative ? -magnitude : magnitude;
    if (signedValue > INT32_MAX) signedValue = INT32_MAX;
    if (signedValue < INT32_MIN) signedValue = INT32_MIN;
    *value = static_cast<int32_t>(signedValue);
    return true;
}

}  // namespace

int CountListEntries(const char* list) {
    int count = 0;
    const char* p = list;
    while (*p) {
        ++count;
        const char* separator = std::strpbrk(p, kSeparators);
        if (!separator) break;
        p = separator + 1;
    }
    return count;
}

bool TakeListEntry(char** cursor, ListEntry& entry, bool readLimits) {
    char* text = *cursor;
    if (!text || !*text) return false;
    char* separator = std::strpbrk(text, kSeparators);
    if (separator) {
        entry.separator = *separator;
        *separator = '\0';
        *cursor = separator + 1;
    } else {
        entry.separator = ',';
        *cursor = text + std::strlen(text);
    }
    entry.name = text;
    entry.limitMs = NO_LIMIT;
    if (readLimits) {
        if (char* open = std::strchr(text, '(')) {
            entry.limitMs = ReadLimit(open + 1);
            *open = '\0';
        }
    }
    return true;
}

uint32_t ReadLimit(const char* text) {
    int32_t value = 0;
    if (!ParseSigned(text, &value)) return NO_LIMIT;
    return static_cast<uint32_t>(value);
}

int32_t ReadDecimal(const char* text) {
    int32_t value = 0;
    return ParseSigned(text, &value) ? value : 0;
}

NameCheck CheckServerName(const char* name) {
    size_t length = strnlen(name, kLongestServerName + 1);
    if (length == 0) return {NameFault::Empty, 0};
    if (length > kLongestServerName) return {NameFault::TooLong, 0};
    if (name[0] == '.') return {NameFault::LeadingPeriod, '.'};
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c < 0x20 || c == 0x7F || std::strchr(kRefusedInNames, c))
            return {NameFault::Character, c};
    }
    return {NameFault::None, 0};
}

bool TakeReplyList(const unsigned char* data, size_t available, size_t told, char* out) {
    size_t length = told < available ? told : available;
    const void* nul = std::memchr(data, '\0', length);
    if (nul) length = static_cast<size_t>(static_cast<const unsigned char*>(nul) - data);
    bool cut = length >= kReplyTextRoom;
    if (cut) {
        // Only the room is the value's: what a reply holds beyond it is the
        // type word, which the server chooses too.
        length = kReplyTextRoom;
        while (length > 0 && !std::strchr(kSeparators, static_cast<char>(data[length - 1])))
            --length;
        if (length > 0) --length;
    }
    if (length > kListSize - 1) length = kListSize - 1;
    std::memcpy(out, data, length);
    out[length] = '\0';
    return cut;
}
