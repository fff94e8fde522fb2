// The lab's registry keys and files: the direct accessors, the reset and the
// product library registration.

#include <windows.h>
#include <shlwapi.h>

#include <cstring>

#include "../common/lab_layout.h"
#include "common/handles.h"
#include "common/text.h"
#include "lab_store.h"
#include "labnet.h"
#include "product/product_interface.h"

namespace lab {
namespace {

bool IsRoot(std::string_view keyPath) { return keyPath.empty() || keyPath == "-"; }

std::string NameText(std::string_view name) { return std::string(name); }

bool OpenKey(std::string_view machine, std::string_view keyPath, REGSAM access, RegKey* key) {
    if (!IsLocalMachine(machine) && !ServerExists(machine)) return false;
    std::string path = MachineKeyPath(machine, keyPath);
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key->put()) ==
           ERROR_SUCCESS;
}

bool CreateKeyAt(const std::string& path, RegKey* key) {
    return RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                           nullptr, key->put(), nullptr) == ERROR_SUCCESS;
}

std::vector<std::string> ReadMultiString(HKEY key, const char* name) {
    std::vector<std::string> items;
    DWORD type = 0, size = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
        type != REG_MULTI_SZ)
        return items;
    std::string data(size + 2, '\0');
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(data.data()),
                         &size) != ERROR_SUCCESS)
        return items;
    for (size_t pos = 0; pos < size && data[pos] != '\0';) {
        std::string item(data.c_str() + pos);
        pos += item.size() + 1;
        items.push_back(item);
    }
    return items;
}

void WriteMultiString(HKEY key, const char* name, const std::vector<std::string>& items) {
    std::string data;
    for (const std::string& item : items) {
        data += item;
        data += '\0';
    }
    data += '\0';
    RegSetValueExA(key, name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.data()),
                   static_cast<DWORD>(data.size()));
}

void RemoveLocalValues() {
    RegKey labKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabKey, 0, KEY_ALL_ACCESS, labKey.put()) ==
        ERROR_SUCCESS) {
        for (const std::string& item : ReadMultiString(labKey.get(), kLocalWritesValue)) {
            size_t bar = item.find('|');
            if (bar == std::string::npos) continue;
            DeleteValue(kLocalMachineName, item.substr(0, bar), item.substr(bar + 1));
        }
        RegDeleteValueA(labKey.get(), kLocalWritesValue);
    }
    // Level-0 lists of this machine belong to the network that set them.
    RegKey control;
    std::string path = MachineKeyPath(kLocalMachineName, "ProductControl");
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, control.put()))
        return;
    std::vector<std::string> lists;
    for (DWORD index = 0;; ++index) {
        char name[512];
        DWORD length = sizeof name;
        if (RegEnumValueA(control.get(), index, name, &length, nullptr, nullptr, nullptr,
                          nullptr) != ERROR_SUCCESS)
            break;
        if (std::strncmp(name, "RoamManaging", 12) == 0) lists.emplace_back(name, length);
    }
    for (const std::string& name : lists) RegDeleteValueA(control.get(), name.c_str());
}

}  // namespace

bool IsLocalMachine(std::string_view machine) { return EqualsNoCase(machine, kLocalMachineName); }

std::string ServerKeyPath(std::string_view server) {
    return std::string(kServersKey) + "\\" + std::string(server);
}

std::string MachineKeyPath(std::string_view machine, std::string_view keyPath) {
    std::string path = IsLocalMachine(machine)
                           ? std::string(kLocalProductRoot)
                           : ServerKeyPath(machine) + "\\" + kServerRegistrySubkey;
    if (!IsRoot(keyPath)) {
        path += '\\';
        path += keyPath;
    }
    return path;
}

void BumpGeneration() {
    RegKey key;
    if (!CreateKeyAt(kLabKey, &key)) return;
    DWORD generation = 0, type = 0, size = sizeof generation;
    if (RegQueryValueExA(key.get(), kGenerationValue, nullptr, &type,
                         reinterpret_cast<BYTE*>(&generation), &size) != ERROR_SUCCESS ||
        type != REG_DWORD)
        generation = GetTickCount();  // unlikely to match what a process saw before
    ++generation;
    RegSetValueExA(key.get(), kGenerationValue, 0, REG_DWORD,
                   reinterpret_cast<const BYTE*>(&generation), sizeof generation);
}

void TrackLocalWrite(std::string_view keyPath, std::string_view name) {
    RegKey key;
    if (!CreateKeyAt(kLabKey, &key)) return;
    std::string item = std::string(IsRoot(keyPath) ? "" : keyPath) + "|" + std::string(name);
    std::vector<std::string> items = ReadMultiString(key.get(), kLocalWritesValue);
    for (const std::string& existing : items)
        if (EqualsNoCase(existing, item)) return;
    items.push_back(item);
    WriteMultiString(key.get(), kLocalWritesValue, items);
}

std::vector<std::string> SubkeyNames(HKEY key) {
    std::vector<std::string> names;
    for (DWORD index = 0;; ++index) {
        char name[256];
        DWORD length = sizeof name;
        if (RegEnumKeyExA(key, index, name, &length, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS)
            break;
        names.emplace_back(name, length);
    }
    return names;
}

bool CreateFolders(const std::string& path) {
    for (size_t pos = path.find('\\', 3); ; pos = path.find('\\', pos + 1)) {
        std::string part = path.substr(0, pos);
        if (!CreateDirectoryA(part.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (pos == std::string::npos) return true;
    }
}

void RemoveFolderTree(const std::string& path) {
    WIN32_FIND_DATAA found;
    FindHandle find(FindFirstFileA((path + "\\*").c_str(), &found));
    if (find) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..") continue;
            std::string child = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveFolderTree(child);
            } else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(find.get(), &found));
    }
    find.reset();
    RemoveDirectoryA(path.c_str());
}

bool WriteWholeFile(const std::string& path, std::string_view contents, bool append) {
    size_t slash = path.rfind('\\');
    if (slash != std::string::npos && slash > 2 && !CreateFolders(path.substr(0, slash)))
        return false;
    FileHandle file(CreateFileA(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                                FILE_SHARE_READ, nullptr, append ? OPEN_ALWAYS : CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return false;
    DWORD written = 0;
    return contents.empty() ||
           (WriteFile(file.get(), contents.data(), static_cast<DWORD>(contents.size()), &written,
                      nullptr) &&
            written == contents.size());
}

bool AreaRelativePath(std::string_view remotePath, std::string* relative) {
    if (remotePath.size() >= 2 && remotePath[0] == '$' && remotePath[1] == '\\')
        remotePath.remove_prefix(2);
    std::string path(remotePath);
    for (char& c : path)
        if (c == '/') c = '\\';
    if (path.empty() || path.front() == '\\' || path.find(':') != std::string::npos) return false;
    for (size_t start = 0; start <= path.size();) {
        size_t end = path.find('\\', start);
        if (end == std::string::npos) end = path.size();
        std::string_view part = std::string_view(path).substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        start = end + 1;
    }
    *relative = path;
    return true;
}

// ---- Public accessors -------------------------------------------------------

void ResetNetwork() {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kServersKey);
    RemoveSites();
    RegKey labKey;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabKey, 0, KEY_ALL_ACCESS, labKey.put()) ==
        ERROR_SUCCESS) {
        for (const char* name : {kUnknownServerDelayValue, kCallerCodeKeyValue, kVirusAlertValue,
                                 kRecordCallsValue, kAnswerAnyValue, kSharedServersValue})
            RegDeleteValueA(labKey.get(), name);
    }
    RemoveLocalValues();
    RemoveFolderTree(kFilesFolder);
    DeleteFileA(kCallLogPath);
    BumpGeneration();
}

bool RegisterProductLibrary(const std::string& dllWindowsPath) {
    RegKey key;
    if (RegCreateKeyExA(HKEY_CLASSES_ROOT, product::kLibraryClsidKey, 0, nullptr, 0,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return false;
    return RegSetValueExA(key.get(), nullptr, 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(dllWindowsPath.c_str()),
                          static_cast<DWORD>(dllWindowsPath.size() + 1)) == ERROR_SUCCESS;
}

std::string DefaultProductLibraryPath() {
#ifdef PERCHMAN_BUILD_DIR
    return std::string(PERCHMAN_BUILD_DIR) + "\\lab\\labproduct.dll";
#else
    return "labproduct.dll";
#endif
}

bool AddServer(std::string_view name) {
    if (name.empty() || name.size() > 255 || name.find('\\') != std::string_view::npos ||
        name.find('/') != std::string_view::npos || IsLocalMachine(name))
        return false;
    RegKey key, registry;
    bool ok = CreateKeyAt(ServerKeyPath(name), &key) &&
              CreateKeyAt(MachineKeyPath(name, ""), &registry) &&
              CreateFolders(FileArea(name));
    BumpGeneration();
    return ok;
}

bool ServerExists(std::string_view name) {
    if (name.empty() || name.find('\\') != std::string_view::npos) return false;
    RegKey key;
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServerKeyPath(name).c_str(), 0, KEY_READ,
                         key.put()) == ERROR_SUCCESS;
}

bool SetBehaviour(std::string_view server, std::string_view name, DWORD value) {
    RegKey key;
    if (!ServerExists(server) ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServerKeyPath(server).c_str(), 0, KEY_SET_VALUE,
                      key.put()))
        return false;
    bool ok = RegSetValueExA(key.get(), NameText(name).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
    BumpGeneration();
    return ok;
}

bool SetBehaviourText(std::string_view server, std::string_view name, std::string_view text) {
    RegKey key;
    if (!ServerExists(server) ||
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServerKeyPath(server).c_str(), 0, KEY_SET_VALUE,
                      key.put()))
        return false;
    std::string data(text);
    bool ok = RegSetValueExA(key.get(), NameText(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
    BumpGeneration();
    return ok;
}

bool SetLabDword(std::string_view name, DWORD value) {
    RegKey key;
    if (!CreateKeyAt(kLabKey, &key)) return false;
    bool ok = RegSetValueExA(key.get(), NameText(name).c_str(), 0, REG_DWORD,
                             reinterpret_cast<const BYTE*>(&value), sizeof value) == ERROR_SUCCESS;
    BumpGeneration();
    return ok;
}

bool SetLabText(std::string_view name, std::string_view text) {
    RegKey key;
    if (!CreateKeyAt(kLabKey, &key)) return false;
    std::string data(text);
    bool ok = RegSetValueExA(key.get(), NameText(name).c_str(), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>(data.size() + 1)) == ERROR_SUCCESS;
    BumpGeneration();
    return ok;
}

bool DeleteLabValue(std::string_view name) {
    RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLabKey, 0, KEY_SET_VALUE, key.put())) return false;
    bool ok = RegDeleteValueA(key.get(), NameText(name).c_str()) == ERROR_SUCCESS;
    BumpGeneration();
    return ok;
}

bool CreateKey(std::string_view machine, std::string_view keyPath) {
    if (!IsLocalMachine(machine) && !ServerExists(machine)) return false;
    RegKey key;
    return CreateKeyAt(MachineKeyPath(machine, keyPath), &key);
}

bool SetValue(std::string_view machine, std::string_view keyPath, std::string_view name,
              DWORD type, std::string_view data) {
    if (!IsLocalMachine(machine) && !ServerExists(machine)) return false;
    RegKey key;
    if (!CreateKeyAt(MachineKeyPath(machine, keyPath), &key)) return false;
    if (IsLocalMachine(machine)) TrackLocalWrite(keyPath, name);
    return RegSetValueExA(key.get(), NameText(name).c_str(), 0, type,
                          reinterpret_cast<const BYTE*>(data.data()),
                          static_cast<DWORD>(data.size())) == ERROR_SUCCESS;
}

bool SetDword(std::string_view machine, std::string_view keyPath, std::string_view name,
              DWORD value) {
    return SetValue(machine, keyPath, name, REG_DWORD,
                    std::string_view(reinterpret_cast<const char*>(&value), sizeof value));
}

bool SetString(std::string_view machine, std::string_view keyPath, std::string_view name,
               std::string_view text) {
    std::string data(text);
    data += '\0';
    return SetValue(machine, keyPath, name, REG_SZ, data);
}

bool SetBinary(std::string_view machine, std::string_view keyPath, std::string_view name,
               const std::vector<uint8_t>& bytes) {
    return SetValue(machine, keyPath, name, REG_BINARY,
                    std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

std::optional<Value> ReadValue(std::string_view machine, std::string_view keyPath,
                               std::string_view name) {
    RegKey key;
    if (!OpenKey(machine, keyPath, KEY_QUERY_VALUE, &key)) return std::nullopt;
    std::string valueName = NameText(name);
    Value value;
    DWORD size = 0;
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &value.type, nullptr, &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    if (RegQueryValueExA(key.get(), valueName.c_str(), nullptr, &value.type,
                         reinterpret_cast<BYTE*>(value.data.data()), &size) != ERROR_SUCCESS)
        return std::nullopt;
    value.data.resize(size);
    return value;
}

std::optional<DWORD> ReadDword(std::string_view machine, std::string_view keyPath,
                               std::string_view name) {
    std::optional<Value> value = ReadValue(machine, keyPath, name);
    if (!value || value->type != REG_DWORD || value->data.size() != sizeof(DWORD))
        return std::nullopt;
    DWORD number;
    std::memcpy(&number, value->data.data(), sizeof number);
    return number;
}

std::optional<std::string> ReadString(std::string_view machine, std::string_view keyPath,
                                      std::string_view name) {
    std::optional<Value> value = ReadValue(machine, keyPath, name);
    if (!value || (value->type != REG_SZ && value->type != REG_EXPAND_SZ)) return std::nullopt;
    std::string text = value->data;
    size_t nul = text.find('\0');
    if (nul != std::string::npos) text.resize(nul);
    return text;
}

bool KeyExists(std::string_view machine, std::string_view keyPath) {
    RegKey key;
    return OpenKey(machine, keyPath, KEY_READ, &key);
}

bool ValueExists(std::string_view machine, std::string_view keyPath, std::string_view name) {
    return ReadValue(machine, keyPath, name).has_value();
}

bool DeleteValue(std::string_view machine, std::string_view keyPath, std::string_view name) {
    RegKey key;
    if (!OpenKey(machine, keyPath, KEY_SET_VALUE, &key)) return false;
    return RegDeleteValueA(key.get(), NameText(name).c_str()) == ERROR_SUCCESS;
}

bool DeleteKey(std::string_view machine, std::string_view keyPath) {
    if (IsRoot(keyPath)) return false;
    if (!IsLocalMachine(machine) && !ServerExists(machine)) return false;
    return SHDeleteKeyA(HKEY_LOCAL_MACHINE, MachineKeyPath(machine, keyPath).c_str()) ==
           ERROR_SUCCESS;
}

std::string FileArea(std::string_view server) {
    return std::string(kFilesFolder) + "\\" + std::string(server);
}

bool WriteServerFile(std::string_view server, std::string_view remotePath,
                     std::string_view contents) {
    std::string relative;
    if (!ServerExists(server) || !AreaRelativePath(remotePath, &relative)) return false;
    return WriteWholeFile(FileArea(server) + "\\" + relative, contents, false);
}

std::optional<std::string> ReadServerFile(std::string_view server, std::string_view remotePath) {
    std::string relative;
    if (!AreaRelativePath(remotePath, &relative)) return std::nullopt;
    return ReadLocalFile(FileArea(server) + "\\" + relative);
}

std::optional<std::string> ReadLocalFile(const std::string& path) {
    FileHandle file(CreateFileA(path.c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) return std::nullopt;
    std::string contents;
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(file.get(), buffer, sizeof buffer, &got, nullptr) && got > 0)
        contents.append(buffer, got);
    return contents;
}

bool RecordCalls(bool on) {
    CreateFolders(kLabFolder);
    return SetLabDword(kRecordCallsValue, on ? 1 : 0);
}

std::string ReadCallLog() { return ReadLocalFile(kCallLogPath).value_or(""); }

std::vector<std::string> CallLogLines() {
    std::vector<std::string> lines;
    std::string log = ReadCallLog();
    for (size_t start = 0; start < log.size();) {
        size_t end = log.find('\n', start);
        if (end == std::string::npos) end = log.size();
        std::string line = log.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

void ClearCallLog() { DeleteFileA(kCallLogPath); }

}  // namespace lab
