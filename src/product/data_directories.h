#pragma once
// Where the managed product keeps its data on this machine.

#include <windows.h>

#include <cstddef>

constexpr size_t kHomeDirectorySize = 524;
// The product's installation directory as last read by ReadHomeDirectory. The
// takeovers fill it before they need the data directory.
extern char HomeDirectory[kHomeDirectorySize];

// Folder kinds of GetAppDataDirectory.
constexpr int kAllUsersFolder = 1;
constexpr int kCurrentUserFolder = 2;

// The product's data directory into out (MAX_PATH bytes): 0; 87 for a bad
// kind or no out; a system error when the shell folder library or its
// SHGetFolderPathA is missing;
// 0x2000001B when the folder service fails; ERROR_FILENAME_EXCED_RANGE when
// the directory would not fit (out is then left as it was).
DWORD GetAppDataDirectory(int kind, char* out);
// Reads "Home Directory" of the product root; the registry status.
LONG ReadHomeDirectory(char* buffer, DWORD size);
// A profile path naming "Default User" rewritten for the current user: 0 when
// rewritten, 1 when left as it was. path holds MAX_PATH bytes.
int ReplaceDefaultUser(char* path);
int FileExists(const char* path);
int IsWindowsNT();
int IsWindows2000OrLater();
