#pragma once
// Registry and file plumbing shared by the parts of the lab network library.

#include <windows.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace lab {

bool IsLocalMachine(std::string_view machine);
// HKLM path of keyPath ("" or "-" = root) on a server or <local>.
std::string MachineKeyPath(std::string_view machine, std::string_view keyPath);
std::string ServerKeyPath(std::string_view server);

// Every change to the lab bumps the generation the stand-in library watches.
void BumpGeneration();
// Remembers a local value written by the lab, for the next reset to remove.
void TrackLocalWrite(std::string_view keyPath, std::string_view name);

// The names of a key's subkeys, in the registry's order.
std::vector<std::string> SubkeyNames(HKEY key);

bool CreateFolders(const std::string& path);  // every missing folder of path
void RemoveFolderTree(const std::string& path);
bool WriteWholeFile(const std::string& path, std::string_view contents, bool append);
// "$\a\b.txt" or "a\b.txt" below the area, with "/" as "\"; false when the
// path is empty or leaves the area.
bool AreaRelativePath(std::string_view remotePath, std::string* relative);

// Stores a site of a network being loaded: its addresses separated by blanks,
// its latencies by server name.
bool StoreSite(const std::string& name, const std::string& addresses,
               const std::map<std::string, DWORD>& latencies);
void RemoveSites();

// Gives the lab's devices these addresses (see MoveToSite); with checkOnly,
// only says whether that can be done here. False with *error on failure.
bool SetDeviceAddresses(const std::vector<std::string>& addresses, bool checkOnly,
                        std::string* error);

}  // namespace lab
