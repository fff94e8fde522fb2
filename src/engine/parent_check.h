#pragma once
// Is the parent alive, and giving it up; this client's record on its parent.

#include <windows.h>
#include <cstddef>

// "Parent" holds this while the machine has given its parent up.
constexpr char kParentMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";
constexpr size_t kClientGuidSize = 16;

int CheckParent(int reportOnly);
int ReleaseParent();

// The parent a switch of this process has told the product about (HPD.DAT
// written, "Parent" emptied until the product takes the file in). While
// "Parent" reads empty the release names this one: the product may take the
// file in after the release, and the machine's records must then agree with
// what it did.
void NoteParentOffered(const char* server);
// At a shutdown the release's remote mark gets this long; the local values
// are written in any case.
extern DWORD ShutdownRemoteLimitMs;

// Reads this client's "GUID" (16 bytes) from the product root.
bool ReadClientGuid(BYTE (&guid)[kClientGuidSize]);
// This client's record key on a parent, "Clients\<computer>_::_<GUID hex>",
// with this machine's name. False when it does not fit out.
bool ClientRecordKey(const BYTE guid[kClientGuidSize], char* out, size_t size);
// The same for a given computer name.
bool FormatClientRecordKey(const char* computerName, const BYTE guid[kClientGuidSize],
                           char* out, size_t size);
