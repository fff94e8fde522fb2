// The product's data directories: the home directory from the registry on
// Windows 9x, a folder of the shell's folder service on the NT family.

#include "product/data_directories.h"

#include <cstring>
#include <string_view>

#include "common/handles.h"
#include "common/text.h"
#include "output/output.h"
#include "platform/system_library.h"
#include "product/product_interface.h"
#include "product/product_keys.h"

char HomeDirectory[kHomeDirectorySize];

namespace {

constexpr unsigned kMsgCallFailed = 73;
constexpr unsigned kMsgCallFailedResult = 74;
constexpr char kDefaultUser[] = "Default User";
constexpr char kProductDataFolder[] = "Brevanta\\Kestrel Corporate Edition";
constexpr char kProductVersionFolder[] = "7.5";
constexpr int kCsidlCommonAppData = 0x23;
constexpr int kCsidlLocalAppDataCreate = 0x801C;
constexpr int kCsidlAppData = 0x1A;

using GetFolderPathFn = HRESULT(WINAPI*)(HWND, int, HANDLE, DWORD, char*);

bool QueryVersion(OSVERSIONINFOA& info) {
    info = {};
    info.dwOSVersionInfoSize = sizeof info;
    return GetVersionExA(&info) != FALSE;
}

int FolderCsidl(int kind) {
    if (kind == kAllUsersFolder) return kCsidlCommonAppData;
    return IsWindows2000OrLater() ? kCsidlLocalAppDataCreate : kCsidlAppData;
}

}  // namespace

DWORD GetAppDataDirectory(int kind, char* out) {
    if ((kind != kAllUsersFolder && kind != kCurrentUserFolder) || !out)
        return ERROR_INVALID_PARAMETER;
    {
        // Only reported: the directory does not come from this key.
        RegKey root;
        if (LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductRootPath, 0, KEY_READ,
                                        root.put()))
            PrintMessageId(kMsgCallFailed, nullptr, false, "RegOpenKeyEx()",
                           static_cast<int>(status));
    }
    if (!IsWindowsNT()) {
        if (strnlen(HomeDirectory, sizeof HomeDirectory) >= MAX_PATH)
            return ERROR_FILENAME_EXCED_RANGE;
        CopyText(out, MAX_PATH, HomeDirectory);
        return 0;
    }

    Module library(LoadSystemLibrary("shfolder.dll"));
    if (!library) return GetLastError();
    GetFolderPathFn getFolderPath = reinterpret_cast<GetFolderPathFn>(
        reinterpret_cast<void*>(GetProcAddress(library.get(), "SHGetFolderPathA")));
    // Without the folder service there is no directory to give: an empty one
    // would put the product's files at the root of the drive.
    if (!getFolderPath) return ERROR_PROC_NOT_FOUND;

    char folder[MAX_PATH] = {};
    HRESULT result = getFolderPath(nullptr, FolderCsidl(kind), nullptr, 0, folder);
    if (result < 0) {
        PrintMessageId(kMsgCallFailedResult, nullptr, false,
                       "GetAppDataDirectory: SHGetFolderPath()", static_cast<unsigned>(result));
        return product::kFolderServiceFailed;
    }
    folder[sizeof folder - 1] = '\0';
    if (std::strstr(folder, kDefaultUser)) ReplaceDefaultUser(folder);

    char directory[MAX_PATH];
    if (!FormatText(directory, "%s\\%s\\%s", folder, kProductDataFolder, kProductVersionFolder))
        return ERROR_FILENAME_EXCED_RANGE;
    CopyText(out, MAX_PATH, directory);
    return 0;
}

LONG ReadHomeDirectory(char* buffer, DWORD size) {
    if (!buffer || size == 0) return ERROR_INVALID_PARAMETER;
    RegKey root;
    if (LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProductRootPath, 0, KEY_READ, root.put()))
        return status;
    DWORD bytes = size;
    LONG status = RegQueryValueExA(root.get(), "Home Directory", nullptr, nullptr,
                                   reinterpret_cast<BYTE*>(buffer), &bytes);
    // A stored value need not end in a NUL, and a failed read leaves nothing
    // usable: the buffer is always a terminated text afterwards.
    if (status != ERROR_SUCCESS)
        buffer[0] = '\0';
    else
        buffer[bytes < size ? bytes : size - 1] = '\0';
    return status;
}

int ReplaceDefaultUser(char* path) {
    if (!path) return 1;
    const char* profile = std::strstr(path, kDefaultUser);
    if (!profile) return 1;
    char user[257] = {};
    DWORD userSize = 256;
    if (!GetUserNameA(user, &userSize) || user[0] == '\0') return 1;

    std::string_view whole(path, strnlen(path, MAX_PATH));
    size_t at = static_cast<size_t>(profile - path);
    // Only the last segment after the profile name is carried over.
    size_t lastSlash = whole.rfind('\\');
    std::string_view tail =
        lastSlash != std::string_view::npos && lastSlash > at ? whole.substr(lastSlash)
                                                              : std::string_view();
    char rewritten[MAX_PATH];
    bool wholeFits = CopyText(rewritten, whole.substr(0, at)) && AppendText(rewritten, user) &&
                      AppendText(rewritten, tail);
    if (!wholeFits) return 1;  // a path that does not fit is not rewritten
    if (!FileExists(rewritten)) return 1;
    CopyText(path, MAX_PATH, rewritten);
    return 0;
}

int FileExists(const char* path) {
    WIN32_FIND_DATAA data;
    HANDLE found = FindFirstFileA(path, &data);
    if (!found || found == INVALID_HANDLE_VALUE) return 0;
    FindClose(found);
    return 1;
}

int IsWindowsNT() {
    OSVERSIONINFOA info;
    return QueryVersion(info) && info.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

int IsWindows2000OrLater() {
    OSVERSIONINFOA info;
    return QueryVersion(info) && info.dwMajorVersion >= 5;
}
