#pragma once
// Small text helpers of the planner: strict numbers from the administrator's
// files, and the lines it prints.

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

#include "common/text.h"

// A decimal number of digits only, at most max; false for anything else.
bool ReadWholeNumber(std::string_view text, uint32_t max, uint32_t* value);

// Matches a line against a message of the string table whose inserts are
// %d, %x, %s (a word) and %c; the inserts go to *values as text.
bool MatchesMessageText(std::string_view format, std::string_view text,
                        std::vector<std::string>* values);

// The pieces one after the other.
std::string Concat(std::initializer_list<std::string_view> parts);
// A name in double quotes, as the findings and errors show names.
std::string Quoted(std::string_view name);

// Prints one line to standard output, for the console (code page 850): the
// format is the planner's own text, names and lists only ever arguments, and
// the line is as long as they make it.
void Say(const char* format, ...) TEXT_FORMAT_CHECK(1, 2);
