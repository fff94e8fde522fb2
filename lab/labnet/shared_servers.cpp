// Moving the loaded network's servers into a folder that a fleet of prefixes
// shares (see ShareServers in labnet.h).

#include <windows.h>

#include "common/handles.h"
#include "common/text.h"
#include "lab_store.h"
#include "labnet.h"
#include "labproduct/shared_store.h"
#include "../common/lab_layout.h"

namespace lab {
namespace {

namespace store = labproduct::shared;

bool CopyKey(HKEY key, const std::string& folder, std::string* error) {
    if (!CreateFolders(folder)) {
        *error = "cannot create " + folder;
        return false;
    }
    DWORD longestName = 0, longestData = 0;
    RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                     &longestName, &longestData, nullptr, nullptr);
    std::vector<char> name(longestName + 2);
    std::vector<uint8_t> data(longestData + 1);
    for (DWORD index = 0;; ++index) {
        DWORD nameLength = static_cast<DWORD>(name.size());
        DWORD dataSize = static_cast<DWORD>(data.size());
        DWORD type = 0;
        if (RegEnumValueA(key, index, name.data(), &nameLength, nullptr, &type, data.data(),
                          &dataSize) != ERROR_SUCCESS)
            break;
        if (LONG status = store::WriteValue(folder, std::string_view(name.data(), nameLength),
                                            type, data.data(), dataSize)) {
            *error = "cannot write a value into " + folder + " (" + std::to_string(status) + ")";
            return false;
        }
    }
    for (const std::string& subkey : SubkeyNames(key)) {
        RegKey child;
        if (RegOpenKeyExA(key, subkey.c_str(), 0, KEY_READ, child.put()) != ERROR_SUCCESS)
            continue;
        if (!CopyKey(child.get(), store::KeyFolder(folder, subkey), error)) return false;
    }
    return true;
}

bool CopyFiles(const std::string& from, const std::string& to) {
    if (!CreateFolders(to)) return false;
    WIN32_FIND_DATAA found;
    FindHandle find(FindFirstFileA((from + "\\*").c_str(), &found));
    if (!find) return true;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        bool copied = found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY
                          ? CopyFiles(from + "\\" + name, to + "\\" + name)
                          : CopyFileA((from + "\\" + name).c_str(), (to + "\\" + name).c_str(),
                                      FALSE) != 0;
        if (!copied) return false;
    } while (FindNextFileA(find.get(), &found));
    return true;
}

// The published count becomes that many records, so that a count derived
// from the records starts where the network put it.
void RecordClientsElsewhere(const std::string& root) {
    DWORD type = 0;
    std::vector<uint8_t> data;
    std::string control = store::KeyFolder(root, "ProductControl");
    if (store::ReadValue(control, "ClientCount", &type, &data) || type != REG_DWORD ||
        data.size() != sizeof(DWORD))
        return;
    DWORD published = 0;
    std::memcpy(&published, data.data(), sizeof published);
    std::vector<std::string> existing;
    store::ListSubKeys(store::KeyFolder(root, "Clients"), &existing);
    // Counts no server publishes (the hostile kit's top-bit ones) stay values.
    if (published > 100000) return;
    for (DWORD n = static_cast<DWORD>(existing.size()) + 1; n <= published; ++n)
        CreateFolders(store::KeyFolder(root, "Clients\\ELSEWHERE-" + std::to_string(n)));
}

}  // namespace

bool ShareServers(const std::string& folder, std::string* error) {
    if (folder.empty()) {
        *error = "no folder";
        return false;
    }
    RegKey servers;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServersKey, 0, KEY_READ, servers.put()) !=
        ERROR_SUCCESS) {
        *error = "no network is loaded";
        return false;
    }
    for (const char* part : {kSharedRegistryFolder, kSharedFilesFolder, kSharedDownFolder,
                             kSharedCallsFolder}) {
        if (!CreateFolders(folder + "\\" + part)) {
            *error = "cannot create " + folder + "\\" + part;
            return false;
        }
    }
    for (const std::string& server : SubkeyNames(servers.get())) {
        RegKey registry;
        std::string root = folder + "\\" + kSharedRegistryFolder + "\\" + store::EncodeName(server);
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MachineKeyPath(server, "").c_str(), 0, KEY_READ,
                          registry.put()) == ERROR_SUCCESS &&
            !CopyKey(registry.get(), root, error))
            return false;
        RecordClientsElsewhere(root);
        if (!CopyFiles(FileArea(server), folder + "\\" + kSharedFilesFolder + "\\" + server)) {
            *error = "cannot copy the files of " + server;
            return false;
        }
    }
    return SetLabText(kSharedServersValue, folder) ||
           (*error = "cannot write " + std::string(kSharedServersValue), false);
}

}  // namespace lab
