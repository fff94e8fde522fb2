#include "planner/plan_text.h"

#include <cstdarg>
#include <cstdio>

namespace {

// Room for a whole list (1023 characters) with its place and some words.
constexpr size_t kSayLineSize = 4096;

}  // namespace

std::string Concat(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (std::string_view part : parts) text.append(part);
    return text;
}

std::string Quoted(std::string_view name) { return Concat({"\"", name, "\""}); }

bool ReadWholeNumber(std::string_view text, uint32_t max, uint32_t* value) {
    if (text.empty() || text.size() > 10) return false;
    uint64_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        number = number * 10 + static_cast<uint64_t>(c - '0');
    }
    if (number > max) return false;
    *value = static_cast<uint32_t>(number);
    return true;
}

void Say(const char* format, ...) {
    char line[kSayLineSize];
    va_list args;
    va_start(args, format);
    FormatTextV(line, sizeof line, format, args);
    va_end(args);
    std::fputs(line, stdout);
    std::fputc('\n', stdout);
}
