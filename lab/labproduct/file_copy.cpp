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
    if (!CopyFileA(source.c_str(), localPath, overwrite ? FALSE : TRUE))
        return static_cast<Status>(GetLastError());
    return 0;
}
