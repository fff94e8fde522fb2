// Command-line text checks.

#include "entry/command_line.h"

#include <string_view>

#include "common/text.h"

namespace {

constexpr size_t kPathComponentSize = 256;

}  // namespace

int IsDecimalNumber(const char* text) {
    if (!text || !*text) return 0;
    for (; *text; ++text)
        if (*text < '0' || *text > '9') return 0;
    return 1;
}

ExecutableName NormaliseExecutableName(char (&exeName)[kArgumentSize]) {
    std::string_view whole(exeName);
    size_t nameStart = whole.find_last_of("\\/:");
    nameStart = nameStart == std::string_view::npos ? 0 : nameStart + 1;
    std::string_view file = whole.substr(nameStart);
    size_t dot = file.find_last_of('.');
    std::string_view extension = dot == std::string_view::npos ? "" : file.substr(dot);
    std::string_view stem = file.substr(0, dot == std::string_view::npos ? file.size() : dot);
    if (!extension.empty() && !EqualsNoCase(extension, ".EXE"))
        return ExecutableName::WrongExtension;
    if (stem.size() >= kPathComponentSize) return ExecutableName::TooLong;

    char normalised[kArgumentSize] = "";
    CopyText(normalised, stem);
    AppendText(normalised, ".EXE");
    CopyText(exeName, normalised);
    return ExecutableName::Usable;
}
