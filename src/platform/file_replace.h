#pragma once
// Files that another program reads (the product's client configuration, the
// agents' tools, an export report) are written under a temporary name in the
// target's own folder and then moved over the target, so that a reader never
// finds one half-written and a failure leaves the old file whole.

#include <windows.h>

// The folder part of path ("." when it has none); false when it does not fit.
bool DirectoryOf(const char* path, char (&directory)[MAX_PATH]);

// Creates an empty file of a name of its own beside target; false, with the
// last error, when the folder takes none.
bool CreateTempBeside(const char* target, char (&tempName)[MAX_PATH]);

enum class Replacement { Done, Failed, OnlyInTemporaryFile };
// Moves tempName over target in one step where the system can. Windows 9x
// has no MoveFileEx: the old target is moved aside under a name of its own,
// the new file takes its place, and only then is the old one deleted; a move
// that fails puts the old file back. Failed leaves target as it was;
// OnlyInTemporaryFile (the old file could not be put back either, and stays
// under its aside name) leaves the new content only in tempName. On failure
// the last error says why.
Replacement ReplaceWithTemp(const char* tempName, const char* target);
