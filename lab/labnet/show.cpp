// A readable dump of one lab server: behaviour, registry tree and files.

#include <windows.h>

#include <cstdio>
#include <cstring>

#include "../common/lab_layout.h"
#include "common/handles.h"
#include "common/text.h"
#include "lab_store.h"
#include "labnet.h"

namespace lab {
namespace {

std::string Hex(DWORD value) {
    char text[16];
    FormatText(text, "0x%lx", static_cast<unsigned long>(value));
    return text;
}

std::string Describe(DWORD type, const std::string& data) {
    switch (type) {
    case REG_DWORD:
        if (data.size() == sizeof(DWORD)) {
            DWORD value;
            std::memcpy(&value, data.data(), sizeof value);
            return "dword " + std::to_string(value) + " (" + Hex(value) + ")";
        }
        break;
    case REG_SZ:
    case REG_EXPAND_SZ: {
        std::string text = data;
        bool terminated = !text.empty() && text.back() == '\0';
        if (terminated) text.pop_back();
        return std::string(type == REG_SZ ? "string" : "expand") + " \"" + text + "\"" +
               (terminated ? "" : " (no NUL)");
    }
    default:
        break;
    }
    std::string hex = "type " + std::to_string(type) + " [" + std::to_string(data.size()) + "]";
    for (unsigned char c : data) {
        char pair[4];
        FormatText(pair, " %02x", c);
        hex += pair;
    }
    return hex;
}

void DumpKey(HKEY key, const std::string& path, int depth, std::string* out) {
    std::string indent(2 * depth, ' ');
    *out += indent + "[" + (path.empty() ? "(root)" : path) + "]\n";
    for (DWORD index = 0;; ++index) {
        char name[16384];
        DWORD nameLength = sizeof name, type = 0, size = 0;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type, nullptr, &size) !=
            ERROR_SUCCESS)
            break;
        std::string data(size, '\0');
        nameLength = sizeof name;
        if (RegEnumValueA(key, index, name, &nameLength, nullptr, &type,
                          reinterpret_cast<BYTE*>(data.data()), &size) != ERROR_SUCCESS)
            break;
        data.resize(size);
        *out += indent + "  " + std::string(name, nameLength) + " = " + Describe(type, data) + "\n";
    }
    for (const std::string& name : SubkeyNames(key)) {
        RegKey child;
        if (RegOpenKeyExA(key, name.c_str(), 0, KEY_READ, child.put()) != ERROR_SUCCESS) continue;
        DumpKey(child.get(), path.empty() ? name : path + "\\" + name, depth + 1, out);
    }
}

void DumpFiles(const std::string& folder, const std::string& relative, std::string* out) {
    WIN32_FIND_DATAA found;
    FindHandle find(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (!find) return;
    do {
        std::string name = found.cFileName;
        if (name == "." || name == "..") continue;
        std::string shown = relative.empty() ? name : relative + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            DumpFiles(folder + "\\" + name, shown, out);
        else
            *out += "  $\\" + shown + " (" + std::to_string(found.nFileSizeLow) + " bytes)\n";
    } while (FindNextFileA(find.get(), &found));
}

// The server's name as its network declared it (lookups ignore case).
std::string DeclaredName(std::string_view name) {
    RegKey servers;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kServersKey, 0, KEY_READ, servers.put()))
        return std::string(name);
    for (const std::string& key : SubkeyNames(servers.get()))
        if (EqualsNoCase(key, name)) return key;
    return std::string(name);
}

}  // namespace

namespace {

// A REG_SZ behaviour value; false when absent.
bool Text(HKEY key, const char* name, std::string* value) {
    char text[512] = "";
    DWORD type = 0, size = sizeof text - 1;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text), &size) !=
        ERROR_SUCCESS)
        return false;
    *value = text;
    return true;
}

}  // namespace

std::string ShowServer(std::string_view requested) {
    if (!ServerExists(requested)) return "no lab server \"" + std::string(requested) + "\"\n";
    const std::string name = DeclaredName(requested);
    RegKey key;
    RegOpenKeyExA(HKEY_LOCAL_MACHINE, ServerKeyPath(name).c_str(), 0, KEY_READ, key.put());
    auto number = [&](const char* value, DWORD fallback) {
        DWORD data = fallback, type = 0, size = sizeof data;
        if (RegQueryValueExA(key.get(), value, nullptr, &type, reinterpret_cast<BYTE*>(&data),
                             &size) != ERROR_SUCCESS ||
            type != REG_DWORD)
            return fallback;
        return data;
    };
    std::string failRead;
    Text(key.get(), kFailReadValue, &failRead);

    std::string out = "server " + std::string(name) + "\n";
    out += "  latency " + std::to_string(number(kLatencyValue, 0)) + " ms, jitter " +
           std::to_string(number(kJitterValue, 0)) + " ms, seed " +
           std::to_string(number(kSeedValue, 0)) + "\n";
    out += std::string("  ") + (number(kDownValue, 0) == 1 ? "down" : "up") + ": timeout " +
           std::to_string(number(kTimeoutValue, kDefaultTimeoutMs)) + " ms, status " +
           Hex(number(kDownStatusValue, kDefaultDownStatus)) + "\n";
    out += "  fail read: " + (failRead.empty() ? std::string("-") : failRead + " -> " +
                              Hex(number(kFailReadStatusValue, kDefaultFailReadStatus)));
    out += ", fail write: " + Hex(number(kFailWriteValue, 0)) +
           ", fail copy: " + Hex(number(kFailCopyValue, 0)) +
           ", lie length: " + std::to_string(number(kLieLengthValue, 0)) + "\n";
    std::string endless, slowOperations;
    bool isEndless = Text(key.get(), kEndlessListValue, &endless);
    Text(key.get(), kSlowOperationsValue, &slowOperations);
    out += "  endless: " + (isEndless ? (endless.empty() ? name : endless) : std::string("-")) +
           ", empty more: " + (number(kEmptyMoreValue, 0) == 1 ? "yes" : "no") + ", slow: " +
           std::to_string(number(kSlowMsValue, 0)) + " ms" +
           (number(kSlowMsValue, 0) ? " (" + (slowOperations.empty() ? "all" : slowOperations) + ")"
                                    : std::string()) +
           "\n";

    out += "registry:\n";
    RegKey registry;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, MachineKeyPath(name, "").c_str(), 0, KEY_READ,
                      registry.put()) == ERROR_SUCCESS)
        DumpKey(registry.get(), "", 1, &out);
    out += "files (" + FileArea(name) + "):\n";
    DumpFiles(FileArea(name), "", &out);
    return out;
}

}  // namespace lab
