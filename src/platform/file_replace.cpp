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
    if (GetFileAttributesA(target) == INVALID_FILE_ATTRIBUTES)
        return MoveFileA(tempName, target) ? Replacement::Done : Replacement::Failed;
    // MoveFile wants a free name: the one reserved for the old file is let go
    // again just before the old file takes it.
    char aside[MAX_PATH];
    if (!CreateTempBeside(target, aside)) return Replacement::Failed;
    if (!DeleteFileA(aside) || !MoveFileA(target, aside)) {
        DWORD error = GetLastError();
        DeleteFileA(aside);
        SetLastError(error);
        return Replacement::Failed;
    }
    if (MoveFileA(tempName, target)) {
        DeleteFileA(aside);
        return Replacement::Done;
    }
    DWORD error = GetLastError();
    bool restored = MoveFileA(aside, target) != FALSE;
    SetLastError(error);
    return restored ? Replacement::Failed : Replacement::OnlyInTemporaryFile;
}
