// Server registries in a folder shared by several prefixes. Each prefix has
// its own Wine server, so nothing but the Unix file system is common to them:
// a value is written to a temporary file and renamed over the old one, and
// the one read-count-write that must not interleave (a parent's client
// count) runs under an exclusively created lock file.

#include "shared_store.h"

#include <algorithm>
#include <cstring>

#include "common/handles.h"
#include "common/text.h"

namespace labproduct::shared {
namespace {

constexpr char kTemporaryMark = '~';  // never the first character of a kept name
constexpr char kLockName[] = "~count.lock";
constexpr DWORD kLockWaitMs = 2000;

bool KeptAsIs(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == '-';
}

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

std::string Upper(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return out;
}

bool LessNoCase(const std::string& a, const std::string& b) { return Upper(a) < Upper(b); }

LONG LastStatus() {
    DWORD error = GetLastError();
    return error ? static_cast<LONG>(error) : ERROR_GEN_FAILURE;
}

// Creates the folder and every missing folder above it.
bool CreateFolders(const std::string& folder) {
    DWORD attributes = GetFileAttributesA(folder.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    size_t slash = folder.find_last_of('\\');
    if (slash != std::string::npos && slash > 2 && !CreateFolders(folder.substr(0, slash)))
        return false;
    return CreateDirectoryA(folder.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS;
}

// The entries of a folder other than "." and ".." and temporary files.
template <typename Visit>
LONG ForEachEntry(const std::string& folder, Visit visit) {
    WIN32_FIND_DATAA found;
    FindHandle find(FindFirstFileA((folder + "\\*").c_str(), &found));
    if (!find) {
        DWORD error = GetLastError();
        return error == ERROR_PATH_NOT_FOUND || error == ERROR_FILE_NOT_FOUND
                   ? ERROR_FILE_NOT_FOUND
                   : static_cast<LONG>(error);
    }
    do {
        std::string_view name = found.cFileName;
        if (name == "." || name == ".." || name.empty() || name[0] == kTemporaryMark) continue;
        visit(found);
    } while (FindNextFileA(find.get(), &found));
    return 0;
}

// A unique temporary name in the folder, for this process and thread.
std::string TemporaryPath(const std::string& folder) {
    static volatile LONG serial = 0;
    char name[64];
    FormatText(name, "%c%lx.%lx.%lx", kTemporaryMark, GetCurrentProcessId(),
               GetCurrentThreadId(), static_cast<unsigned long>(InterlockedIncrement(&serial)));
    return folder + "\\" + name;
}

}  // namespace

std::string EncodeName(std::string_view name) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (char c : name) {
        if (KeptAsIs(c)) {
            out += c;
        } else {
            unsigned char byte = static_cast<unsigned char>(c);
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 15];
        }
    }
    return out;
}

std::string DecodeName(std::string_view encoded) {
    std::string out;
    for (size_t i = 0; i < encoded.size(); ++i) {
        int high = i + 2 < encoded.size() && encoded[i] == '%' ? HexValue(encoded[i + 1]) : -1;
        int low = high >= 0 ? HexValue(encoded[i + 2]) : -1;
        if (high >= 0 && low >= 0) {
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += encoded[i];
        }
    }
    return out;
}

std::string KeyFolder(const std::string& root, std::string_view keyPath) {
    std::string folder = root;
    size_t start = 0;
    while (start < keyPath.size()) {
        size_t end = keyPath.find('\\', start);
        if (end == std::string_view::npos) end = keyPath.size();
        if (end > start) {
            folder += '\\';
            folder += EncodeName(keyPath.substr(start, end - start));
        }
        start = end + 1;
    }
    return folder;
}

LONG ReadValue(const std::string& keyFolder, std::string_view name, DWORD* type,
               std::vector<uint8_t>* data) {
    FileHandle file(CreateFileA((keyFolder + "\\" + EncodeName(name)).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file) {
        DWORD error = GetLastError();
        return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : static_cast<LONG>(error);
    }
    DWORD size = GetFileSize(file.get(), nullptr);
    if (size == INVALID_FILE_SIZE || size < sizeof(DWORD)) return ERROR_BADDB;
    std::vector<uint8_t> bytes(size);
    DWORD read = 0;
    if (!ReadFile(file.get(), bytes.data(), size, &read, nullptr) || read != size)
        return ERROR_BADDB;
    std::memcpy(type, bytes.data(), sizeof(DWORD));
    data->assign(bytes.begin() + sizeof(DWORD), bytes.end());
    return 0;
}

LONG WriteValue(const std::string& keyFolder, std::string_view name, DWORD type,
                const uint8_t* data, uint32_t size) {
    if (!CreateFolders(keyFolder)) return LastStatus();
    std::string temporary = TemporaryPath(keyFolder);
    {
        FileHandle file(CreateFileA(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) return LastStatus();
        DWORD written = 0;
        bool whole = WriteFile(file.get(), &type, sizeof type, &written, nullptr) &&
                     written == sizeof type;
        if (whole && size) whole = WriteFile(file.get(), data, size, &written, nullptr) &&
                                   written == size;
        if (!whole) {
            LONG status = LastStatus();
            file.reset();
            DeleteFileA(temporary.c_str());
            return status;
        }
    }
    if (!MoveFileExA(temporary.c_str(), (keyFolder + "\\" + EncodeName(name)).c_str(),
                     MOVEFILE_REPLACE_EXISTING)) {
        LONG status = LastStatus();
        DeleteFileA(temporary.c_str());
        return status;
    }
    return 0;
}

LONG DeleteValue(const std::string& keyFolder, std::string_view name) {
    if (DeleteFileA((keyFolder + "\\" + EncodeName(name)).c_str())) return 0;
    DWORD error = GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : static_cast<LONG>(error);
}

LONG DeleteKey(const std::string& keyFolder) {
    std::vector<std::string> folders, files;
    LONG status = ForEachEntry(keyFolder, [&](const WIN32_FIND_DATAA& found) {
        std::string path = keyFolder + "\\" + found.cFileName;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            folders.push_back(path);
        else
            files.push_back(path);
    });
    if (status) return status;
    for (const std::string& folder : folders)
        if (LONG inner = DeleteKey(folder); inner && inner != ERROR_FILE_NOT_FOUND) return inner;
    for (const std::string& file : files)
        if (!DeleteFileA(file.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND)
            return LastStatus();
    // Another machine may be writing into the key meanwhile: its value stays,
    // and so does the key, as a registry key deleted under a writer would not.
    if (!RemoveDirectoryA(keyFolder.c_str()) && GetLastError() != ERROR_FILE_NOT_FOUND &&
        GetLastError() != ERROR_PATH_NOT_FOUND)
        return LastStatus();
    return 0;
}

bool KeyExists(const std::string& keyFolder) {
    DWORD attributes = GetFileAttributesA(keyFolder.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

LONG ListSubKeys(const std::string& keyFolder, std::vector<std::string>* names) {
    names->clear();
    LONG status = ForEachEntry(keyFolder, [&](const WIN32_FIND_DATAA& found) {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            names->push_back(DecodeName(found.cFileName));
    });
    std::sort(names->begin(), names->end(), LessNoCase);
    return status;
}

LONG ListValues(const std::string& keyFolder, std::vector<StoredValue>* values) {
    values->clear();
    std::vector<std::string> names;
    LONG status = ForEachEntry(keyFolder, [&](const WIN32_FIND_DATAA& found) {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            names.push_back(DecodeName(found.cFileName));
    });
    if (status) return status;
    std::sort(names.begin(), names.end(), LessNoCase);
    for (const std::string& name : names) {
        StoredValue value;
        value.name = name;
        // A value deleted since the listing was taken is no longer there.
        if (ReadValue(keyFolder, name, &value.type, &value.data) == 0)
            values->push_back(std::move(value));
    }
    return 0;
}

bool TouchesClients(std::string_view keyPath) {
    constexpr std::string_view kClients = "Clients";
    return keyPath.size() >= kClients.size() &&
           EqualsNoCase(keyPath.substr(0, kClients.size()), kClients) &&
           (keyPath.size() == kClients.size() || keyPath[kClients.size()] == '\\');
}

void PublishClientCount(const std::string& root) {
    // A lock file created exclusively is honoured across Wine servers (it is
    // the Unix file system's O_EXCL); the Win32 locks of one server are not
    // seen by another. Deleted on close, also when its holder dies.
    std::string lockPath = root + "\\" + kLockName;
    FileHandle lock;
    DWORD start = GetTickCount();
    for (;;) {
        lock.reset(CreateFileA(lockPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr));
        if (lock || GetTickCount() - start >= kLockWaitMs) break;
        Sleep(1);
    }
    // Without the lock (a holder that hangs) the count is still published:
    // the next change below Clients corrects a count that lost a race.
    std::vector<std::string> clients;
    ListSubKeys(KeyFolder(root, "Clients"), &clients);
    DWORD count = static_cast<DWORD>(clients.size());
    WriteValue(KeyFolder(root, "ProductControl"), "ClientCount", REG_DWORD,
               reinterpret_cast<const uint8_t*>(&count), sizeof count);
}

}  // namespace labproduct::shared
