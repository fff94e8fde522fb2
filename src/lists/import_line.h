#pragma once
// One line of an import file: how the file is cut into lines, and how a line
// is normalised, split into machine, role, level and list, and checked. Import
// files come from administrators' editors and other tools, so this text is
// read with no Windows header in reach: it is built natively as well and
// fuzzed there.

#include <cstddef>
#include <cstdio>

#include "product/server_list.h"

constexpr size_t kImportLineSize = 4096;  // a normalised line, with its NUL
constexpr size_t kValueNameSize = 1024;   // "RoamManaging%sLevel%s"
constexpr size_t kMaxServerName = 47;     // a name of a list

// One physical line, normalised as it is read: tabs become blanks, runs of
// blanks one blank, leading blanks go. Bytes that have no place in a text line
// (NUL and the other control codes) and lines longer than the buffer are
// remembered so the whole line can be refused rather than cut.
class NormalisedLine {
public:
    void Reset();
    void Add(unsigned char byte);

    const char* Text() const { return text_; }
    size_t Length() const { return length_; }
    bool IsEmpty() const { return first_ < 0; }
    bool IsComment() const { return first_ == '#'; }
    // Control bytes or more text than the buffer holds.
    bool IsDamaged() const { return damaged_; }

private:
    char text_[kImportLineSize] = "";
    size_t length_ = 0;
    int first_ = -1;  // the first byte that is not a blank, -1 while none
    bool damaged_ = false;
};

enum class ImportLineKind { Ignored, Malformed, Entry };

struct ImportEntry {
    char machine[kImportLineSize];
    char valueName[kValueNameSize];
    char list[kListSize];  // compacted; for a delete request, what followed the "#"
    bool isLocal;
    bool isDelete;
};

// Splits a normalised line into machine, role, level and list, and checks and
// compacts the list.
ImportLineKind ParseImportLine(const NormalisedLine& line, ImportEntry& entry);

// Checks a list (names 1 to 47 characters, no empty name, no separator at the
// end) and writes it without the blanks around names; false when it is not
// valid or its compacted form does not fit out.
bool CompactServerList(const char* list, size_t length, char* out, size_t outSize);

// Reads a file in blocks and hands it out one physical line at a time, the
// whole line whatever its length. The file is read as bytes up to its first
// Ctrl-Z: the line end is LF or CR LF, and a CR anywhere else is a byte of the
// line.
class LineReader {
public:
    explicit LineReader(FILE* file) : file_(file) {}

    // false at the end of the file.
    bool Next(NormalisedLine& line);

private:
    int Peek();
    int Get();
    bool Fill();

    FILE* file_;
    unsigned char buffer_[16384];
    size_t position_ = 0;
    size_t end_ = 0;
    bool ended_ = false;  // the end-of-file mark has been read
    bool started_ = false;  // the first block has been read
};
