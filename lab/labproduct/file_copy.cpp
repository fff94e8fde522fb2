// Copying a file from a lab server's "$\" area to a local path.

#include <windows.h>

#include <string>
#include <string_view>

#include "../common/lab_layout.h"
#include "product/product_interface.h"
#include "server_state.h"

using product::Status;

namespace {

// The part of "$\a\b.txt" below the server's area, or false when the path is
// not of that form or could reach outside the area ("..", a drive, a stream,
// an absolute or UNC continuation).
bool RelativeRemotePath(std::string_view remote, std::string* relative) {
    if (remote.size() < 3 || remote[0] != '$' || remote[1] != '\\') return false;
    std::string_view rest = remote.substr(2);
    if (rest.front() == '\\' || rest.front() == '/') return false;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of("\\/", start);
        if (end == std::string_view::npos) end = rest.size();
        std::string_view part = rest.substr(start, end - start);
        if (part.empty() || part == "." || part == "..") return false;
        if (part.find_first_of(":*?\"<>|") != std::string_view::npos) return false;
        start = end + 1;
    }
    relative->assign(rest);
    return true;
}

// A copy cut off half-way: the first half of the source lands where the copy
// was asked to go, as a transfer that broke off leaves it.
Status CopyHalf(const std::string& source, const char* localPath, Status status) {
    HANDLE in = CreateFileA(source.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (in == INVALID_HANDLE_VALUE) return static_cast<Status>(GetLastError());
    std::string bytes(GetFileSize(in, nullptr) / 2, '\0');
    DWORD read = 0;
    ReadFile(in, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(in);
    HANDLE out = CreateFileA(localPath, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE) return static_cast<Status>(GetLastError());
    DWORD written = 0;
    WriteFile(out, bytes.data(), read, &written, nullptr);
    CloseHandle(out);
    return status;
}

}  // namespace

extern "C" Status WINAPI RemoteFileCopy(const char* server, const char* remotePath,
                                        uint32_t flags, const char* localPath,
                                        uint32_t overwrite) {
    labproduct::ServerCall call(server, "RemoteFileCopy", remotePath, localPath);
    if (Status refusal = call.refusal()) return refusal;
    std::string relative;
    if (!remotePath || !RelativeRemotePath(remotePath, &relative))
        return lab::kBadRemotePathStatus;
    if (!localPath || !*localPath) return ERROR_INVALID_PARAMETER;
    std::string source = call.fileArea() + "\\" + relative;
    if (source.size() >= MAX_PATH) return ERROR_FILENAME_EXCED_RANGE;
    if (call.failCopy()) return CopyHalf(source, localPath, call.failCopy());
    if (!CopyFileA(source.c_str(), localPath, overwrite ? FALSE : TRUE))
        return static_cast<Status>(GetLastError());
    return 0;
}
