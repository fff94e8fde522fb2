#pragma once
// Import of roaming server lists from a text file into this machine's
// registry and into the registries of servers.

#include <cstddef>
#include <cstdint>

#include "lists/import_line.h"
#include "product/server_registry.h"

// Reads fileName and applies it line by line; every outcome is reported per line.
void Import(const char* fileName);

// ---- One line of the import ---------------------------------------------------
// Import drives these; they are declared here so that a line can be handled
// from text already in memory. Reading and parsing a line is lists/import_line.

// The value name and list of the latest "<local>" line that set a value;
// carried to every server line after it.
struct LocalPair {
    char valueName[kValueNameSize] = "";
    char list[kListSize] = "";
    bool IsSet() const { return valueName[0] != '\0'; }
};

struct ImportState {
    LocalPair localPair;
    int lineNumber = 0;
};

// Handles one line (state.lineNumber is its number): ignores, reports
// message 144, or applies it locally or to its server.
void ImportLine(ImportState& state, const NormalisedLine& line);

// The status reported (message 66) for a server line whose value and local
// pair do not fit one value block: nothing is sent for that line.
constexpr product::Status kValuesDoNotFit = ERROR_INSUFFICIENT_BUFFER;
