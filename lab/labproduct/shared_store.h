#pragma once
// A server's product registry kept as folders and files in a folder that
// several Wine prefixes share (a fleet of lab machines): a key is a folder, a
// value a file holding its 32-bit type and then its data. Every value is
// replaced whole by a rename, so a reader in another prefix sees the old
// value or the new one, never a part. Names are kept case-insensitively, as
// the registry keeps them (Wine matches file names so on its Z: drive);
// characters a file name cannot carry are written as %XX.

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace labproduct::shared {

struct StoredValue {
    std::string name;
    DWORD type = REG_NONE;
    std::vector<uint8_t> data;
};

// The file or folder name a registry name is kept under, and back.
std::string EncodeName(std::string_view name);
std::string DecodeName(std::string_view encoded);

// The folder of keyPath ("a\b", "" for the root) below a server's root folder.
std::string KeyFolder(const std::string& root, std::string_view keyPath);

// ERROR_FILE_NOT_FOUND when the value (or its key) does not exist.
LONG ReadValue(const std::string& keyFolder, std::string_view name, DWORD* type,
               std::vector<uint8_t>* data);
// Creates the key (and the keys above it) when missing.
LONG WriteValue(const std::string& keyFolder, std::string_view name, DWORD type,
                const uint8_t* data, uint32_t size);
LONG DeleteValue(const std::string& keyFolder, std::string_view name);
// The key with everything below it.
LONG DeleteKey(const std::string& keyFolder);
bool KeyExists(const std::string& keyFolder);
// Sorted by name, case-insensitively, as the registry lists subkeys.
LONG ListSubKeys(const std::string& keyFolder, std::vector<std::string>* names);
LONG ListValues(const std::string& keyFolder, std::vector<StoredValue>* values);

// A server publishes "ClientCount" in ProductControl as the program does on
// a parent: the number of subkeys of its Clients key. Called after a change
// below Clients; count and write happen under the server's lock, so the last
// publication counts every change made before it.
bool TouchesClients(std::string_view keyPath);
void PublishClientCount(const std::string& root);

}  // namespace labproduct::shared
