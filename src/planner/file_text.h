#pragma once
// Text as administrators save it and as the planner shows it. The program
// holds names as single bytes of the ANSI code page 1252 (what the registry
// gives it), and every limit it keeps counts those bytes, so the planner
// reads each file into that code page: a UTF-8 byte-order mark is skipped, a
// file that is valid UTF-8 is decoded, any other file is 1252 already. What
// it prints for the console is in code page 850, the code page of the
// program's own messages; records and pages are UTF-8. No Windows header:
// the site table's reading is fuzzed natively.

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "lists/import_line.h"

// The file is read whole first, since its encoding is the whole file's.
class FileLines {
public:
    explicit FileLines(FILE* file);
    ~FileLines();

    // false at the end of the file, and when it could not be read. The line
    // is cut as the import cuts lines and normalised as it normalises them,
    // in code page 1252.
    bool Next(NormalisedLine& line);
    // Where the last line held a character code page 1252 lacks (written as
    // "?"), npos when it held none.
    size_t Unheld() const { return unheld_; }
    // Why the file could not be read, "" when it could.
    const std::string& Problem() const { return problem_; }

private:
    std::string text_;  // up to its end-of-file mark, without its byte-order mark
    size_t at_ = 0;
    bool utf8_ = false;
    std::string problem_;
    size_t unheld_ = std::string_view::npos;
    std::unique_ptr<NormalisedLine> raw_;
};

// A character code page 1252 lacks, as the text shows it.
constexpr char kUnheldCharacter = '?';

std::string Utf8FromAnsi(std::string_view text);
// Characters code page 850 lacks become "?".
std::string Cp850FromAnsi(std::string_view text);
// The program's own messages are in code page 850.
std::string AnsiFromCp850(std::string_view text);
