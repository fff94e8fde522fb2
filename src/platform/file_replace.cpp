// Writing a file beside its target and moving it into place.

#include "platform/file_replace.h"

#include <string_view>

#include "common/text.h"
#include "platform/system_functions.h"

namespace {

constexpr char kTempPrefix[] = "prm";

}  // namespace

bool DirectoryOf(const char* path, char (&directory)[MAX_PATH]) {
    const char* end = nullptr;
    for (const char* p = path; *p; ++p)
        if (*p == '\\' || *p == '/' || *p == ':') end = p + 1;
    if (!end) return CopyText(directory, ".");
    return CopyText(directory, std::string_view(path, static_cast<size_t>(end - path)));
}

bool CreateTempBeside(const char* target, char (&tempName)[MAX_PATH]) {
    char directory[MAX_PATH];
    tempName[0] = '\0';
    if (!DirectoryOf(target, directory)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    return GetTempFileNameA(directory, kTempPrefix, 0, tempName) != 0;
}

Replacement ReplaceWithTemp(const char* tempName, const char* target) {
    if (!EngineFunctions.IsWin9x && EngineFunctions.MoveFileExA) {
        if (EngineFunctions.MoveFileExA(tempName, target, MOVEFILE_REPLACE_EXISTING))
            return Replacement::Done;
        if (GetLastError() != ERROR_CALL_NOT_IMPLEMENTED) return Replacement::Failed;
    }
    if (GetFileAttributesA(target) != INVALID_FILE_ATTRIBUTES && !DeleteFileA(target))
        return Replacement::Failed;
    if (MoveFileA(tempName, target)) return Replacement::Done;
    return Replacement::OnlyInTemporaryFile;
}
