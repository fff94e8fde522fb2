#pragma once
// The parts of the description parser that its files share: the steps a
// description makes, checked whole before any is taken, and the helpers of
// its lines.

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace lab {

using Step = std::function<bool()>;

struct Parser {
    std::vector<Step> steps;
    std::set<std::string> servers;  // upper-case names declared so far
    std::set<std::string> sites;    // upper-case
    std::set<std::string> filesWritten;
    std::string error;
    int lineNumber = 0;

    bool Fail(const std::string& why) {
        error = "line " + std::to_string(lineNumber) + ": " + why;
        return false;
    }
};

// Decimal or 0x-hex, 32 bits, nothing else.
bool ParseNumber(std::string_view text, DWORD* value);
// False (with the parser's error) for a machine or server not declared before.
bool KnownMachine(Parser& p, const std::string& machine);
bool KnownServer(Parser& p, const std::string& server);

// The lines of the hostile-server kit (labnet.h). *known tells whether the
// line is one of them; the result whether it was right.
bool ParseKitLine(Parser& p, const std::vector<std::string>& w, bool* known);

}  // namespace lab
