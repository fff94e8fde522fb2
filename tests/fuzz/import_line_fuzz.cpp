// Import files come from any editor or tool. Whatever their bytes: nothing
// after the first Ctrl-Z is read, nor a byte-order mark that opens the file;
// every line handed out is normalised; and a line is either refused whole or
// yields an entry that, written back as a line, parses to the very same
// entry, with a list that is valid and compact.

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_check.h"
#include "lists/import_line.h"

namespace {

struct Line {
    std::string text;
    bool damaged;
    bool operator==(const Line&) const = default;
};

void CheckNormalised(const NormalisedLine& line) {
    FUZZ_CHECK(std::strlen(line.Text()) == line.Length());
    if (line.IsDamaged()) return;
    const char* text = line.Text();
    for (size_t i = 0; i < line.Length(); ++i) {
        unsigned char byte = static_cast<unsigned char>(text[i]);
        FUZZ_CHECK(byte >= 0x20 && byte != 0x7F);
        if (byte == ' ') FUZZ_CHECK(i > 0 && text[i - 1] != ' ');
    }
}

void CheckEntry(const NormalisedLine& line);

// The lines of the file; with check, each is checked as it is read.
std::vector<Line> ReadLines(const uint8_t* data, size_t size, bool check) {
    std::vector<Line> lines;
    // fmemopen refuses an empty buffer; an empty file has no lines.
    if (size == 0) return lines;
    FILE* file = fmemopen(const_cast<uint8_t*>(data), size, "rb");
    FUZZ_CHECK(file != nullptr);
    LineReader reader(file);
    static NormalisedLine line;  // 4 KiB: kept off the stack
    while (reader.Next(line)) {
        if (check) {
            CheckNormalised(line);
            CheckEntry(line);
        }
        lines.push_back({line.Text(), line.IsDamaged()});
    }
    std::fclose(file);
    return lines;
}

NormalisedLine& Normalise(std::string_view text) {
    static NormalisedLine line;
    line.Reset();
    for (char c : text) line.Add(static_cast<unsigned char>(c));
    return line;
}

bool IsValidCompactList(const char* list) {
    if (!*list) return false;
    size_t nameLength = 0;
    for (const char* p = list;; ++p) {
        if (*p == '\0' || std::strchr(",>=", *p)) {
            if (nameLength == 0 || nameLength > kMaxServerName) return false;
            if (*p == '\0') return true;
            nameLength = 0;
            continue;
        }
        if (nameLength == 0 && *p == ' ') return false;
        if (*p == ' ' && (p[1] == '\0' || std::strchr(",>=", p[1]))) return false;
        ++nameLength;
    }
}

std::vector<std::string> Words(const std::string& text) {
    std::vector<std::string> words;
    size_t start = 0;
    for (size_t blank; words.size() < 3 && (blank = text.find(' ', start)) != std::string::npos;
         start = blank + 1)
        words.push_back(text.substr(start, blank - start));
    return words;
}

void CheckEntry(const NormalisedLine& line) {
    static ImportEntry entry;
    ImportLineKind kind = ParseImportLine(line, entry);
    if (line.IsDamaged()) FUZZ_CHECK(kind != ImportLineKind::Entry);
    if (kind != ImportLineKind::Entry) return;

    std::vector<std::string> words = Words(line.Text());
    FUZZ_CHECK(words.size() == 3);
    FUZZ_CHECK(words[0] == entry.machine && !words[0].empty());
    FUZZ_CHECK("RoamManaging" + words[1] + "Level" + words[2] == entry.valueName);
    FUZZ_CHECK(entry.isDelete ? !entry.list[0] || IsValidCompactList(entry.list)
                              : IsValidCompactList(entry.list));

    // Written back, the entry is read as itself.
    std::string again = words[0] + " " + words[1] + " " + words[2] + " " +
                        (entry.isDelete ? "#" : "") + entry.list;
    static ImportEntry reread;
    FUZZ_CHECK(ParseImportLine(Normalise(again), reread) == ImportLineKind::Entry);
    FUZZ_CHECK(std::strcmp(reread.machine, entry.machine) == 0);
    FUZZ_CHECK(std::strcmp(reread.valueName, entry.valueName) == 0);
    FUZZ_CHECK(std::strcmp(reread.list, entry.list) == 0);
    FUZZ_CHECK(reread.isLocal == entry.isLocal && reread.isDelete == entry.isDelete);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Line> lines = ReadLines(data, size, true);

    const void* mark = std::memchr(data, 0x1A, size);
    size_t before = mark ? static_cast<size_t>(static_cast<const uint8_t*>(mark) - data) : size;
    if (mark) FUZZ_CHECK(ReadLines(data, before, false) == lines);
    // A byte-order mark that opens the file is no part of it.
    static const uint8_t kMark[] = {0xEF, 0xBB, 0xBF};
    auto opensWithMark = [&](size_t at) {
        return before >= at + sizeof kMark && std::memcmp(data + at, kMark, sizeof kMark) == 0;
    };
    size_t start = opensWithMark(0) ? sizeof kMark : 0;
    // Only the first mark is skipped: a second one would be skipped in the file without the first.
    if (start && !opensWithMark(start))
        FUZZ_CHECK(ReadLines(data + start, size - start, false) == lines);
    size_t breaks = 0;
    for (size_t i = start; i < before; ++i) breaks += data[i] == '\n';
    FUZZ_CHECK(lines.size() == breaks + (before > start && data[before - 1] != '\n' ? 1 : 0));
    return 0;
}
