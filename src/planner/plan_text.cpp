#include "planner/plan_text.h"

#include <cstdarg>
#include <cstdio>

#include "planner/file_text.h"

namespace {

// Room for a whole list (1023 characters) with its place and some words; a
// line that names many sites takes as much as it needs.
constexpr size_t kSayLineSize = 4096;

// A format the runtime cannot expand at all leaves the line empty, so that
// growing stops there too.
std::string FormattedV(const char* format, va_list args) {
    std::string line(kSayLineSize, '\0');
    for (;;) {
        va_list attempt;
        va_copy(attempt, args);
        bool whole = FormatTextV(line.data(), line.size(), format, attempt);
        va_end(attempt);
        if (whole || line[0] == '\0') break;
        line.assign(line.size() * 4, '\0');
    }
    line.resize(std::char_traits<char>::length(line.c_str()));
    return line;
}

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
    va_list args;
    va_start(args, format);
    std::string line = FormattedV(format, args);
    va_end(args);
    std::fputs(Cp850FromAnsi(line).c_str(), stdout);
    std::fputc('\n', stdout);
}

bool MatchesMessageText(std::string_view format, std::string_view text,
                        std::vector<std::string>* values) {
    auto isDigit = [](char c, bool hexadecimal) {
        return (c >= '0' && c <= '9') || (hexadecimal && c >= 'a' && c <= 'f');
    };
    values->clear();
    while (!format.empty()) {
        if (format.size() >= 2 && format[0] == '%') {
            char kind = format[1];
            size_t length = 0;
            if (kind == 'd' || kind == 'x') {
                if (kind == 'd' && !text.empty() && text[0] == '-') ++length;
                size_t sign = length;
                while (length < text.size() && isDigit(text[length], kind == 'x')) ++length;
                if (length == sign) return false;
            } else if (kind == 's') {
                while (length < text.size() && text[length] != ' ') ++length;
                if (length == 0) return false;
            } else if (kind == 'c') {
                if (text.empty()) return false;
                length = 1;
            } else {
                return false;
            }
            values->emplace_back(text.substr(0, length));
            text.remove_prefix(length);
            format.remove_prefix(2);
            continue;
        }
        if (text.empty() || text[0] != format[0]) return false;
        text.remove_prefix(1);
        format.remove_prefix(1);
    }
    return text.empty();
}
