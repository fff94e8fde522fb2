// Server lists are published by servers. Whatever their bytes: parsing stays
// inside the text and takes exactly the entries it counts, the entries format
// back into a list that parses to the same names, limits and separators, only
// a name a computer can have passes as usable, and limits read like "%d"
// without its overflow.

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "product/server_list.h"
#include "fuzz_check.h"
#include "fuzz_text.h"

namespace {

struct Entry {
    std::string name;
    char separator;
    uint32_t limitMs;
    bool operator==(const Entry&) const = default;
};

// What a server name may be: 1 to 127 bytes, no period in front, no control
// character and none of the characters a Windows computer name refuses.
bool IsComputerName(const std::string& name) {
    if (name.empty() || name.size() > 127 || name[0] == '.') return false;
    for (char c : name) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || std::string("\\/:*?\"<>|[]+=;,% ").find(c) != std::string::npos)
            return false;
    }
    return true;
}

std::vector<Entry> Parse(char* text, size_t length, bool readLimits) {
    int counted = CountListEntries(text);
    std::vector<Entry> entries;
    char* cursor = text;
    ListEntry entry;
    while (TakeListEntry(&cursor, entry, readLimits)) {
        FUZZ_CHECK(entry.separator == ',' || entry.separator == '>' || entry.separator == '=');
        FUZZ_CHECK(cursor >= text && cursor <= text + length);
        entries.push_back({entry.name, entry.separator, entry.limitMs});
        const std::string& name = entries.back().name;
        FUZZ_CHECK(IsUsableServerName(entry.name) == IsComputerName(name));
    }
    FUZZ_CHECK(static_cast<int>(entries.size()) == counted);
    return entries;
}

// The list text an administrator would write for these entries.
std::string Format(const std::vector<Entry>& entries) {
    std::string text;
    for (const Entry& entry : entries) {
        text += entry.name;
        if (entry.limitMs != NO_LIMIT)
            text += "(" + std::to_string(static_cast<int32_t>(entry.limitMs)) + ")";
        text += entry.separator;
    }
    return text;
}

void CheckRoundTrip(const std::vector<Entry>& entries, bool readLimits) {
    std::string formatted = Format(entries);
    FuzzText again(reinterpret_cast<const uint8_t*>(formatted.data()), formatted.size(),
                   formatted.size());
    FUZZ_CHECK(Parse(again.get(), again.length(), readLimits) == entries);
}

// The C library's reading of a decimal, clamped to 32 bits.
bool ReferenceDecimal(const char* text, int32_t* value) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
    if (*p == '+' || *p == '-') ++p;
    if (*p < '0' || *p > '9') return false;
    errno = 0;
    long long wide = std::strtoll(text, nullptr, 10);
    if (wide > INT32_MAX) wide = INT32_MAX;
    if (wide < INT32_MIN) wide = INT32_MIN;
    *value = static_cast<int32_t>(wide);
    return true;
}

void CheckNumbers(const char* text) {
    int32_t expected = 0;
    bool isNumber = ReferenceDecimal(text, &expected);
    FUZZ_CHECK(ReadDecimal(text) == (isNumber ? expected : 0));
    FUZZ_CHECK(ReadLimit(text) == (isNumber ? static_cast<uint32_t>(expected) : NO_LIMIT));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    // The first byte chooses the reading: searches read limits, /time_network
    // keeps the parentheses in the names.
    bool readLimits = (data[0] & 1) != 0;
    FuzzText text(data + 1, size - 1, 4096);
    CheckNumbers(text.get());
    std::vector<Entry> entries = Parse(text.get(), text.length(), readLimits);
    CheckRoundTrip(entries, readLimits);
    return 0;
}
