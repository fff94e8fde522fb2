#pragma once
// The roaming server lists and the small registry routines that reach values
// and keys on servers through the product library.

#include <windows.h>
#include <cstdint>

#include "product/product_interface.h"
#include "product/server_key_walk.h"
#include "product/server_list.h"

// Fills list (1024 bytes) with the role's level-0 list; returns the registry status.
LONG ReadLocalServerList(char* list, const char* role, uint32_t* elapsedMs);
DWORD ReadServerDword(const char* server, const char* keyPath, const char* valueName,
                      DWORD defaultValue);
product::Status WriteServerDword(const char* server, const char* keyPath,
                                 const char* valueName, DWORD value);

// WalkKeyOnServer through the product library, giving way to the engine's
// stop request.
product::Status WalkServerKey(const char* server, const char* keyPath, uint32_t* keyCount,
                              uint32_t* valueCount, int recurse, int withValues,
                              void* context, OnServerKey onKey, OnServerValue onValue);
