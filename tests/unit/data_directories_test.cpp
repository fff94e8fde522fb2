#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <cstring>
#include <string>

#include "product/data_directories.h"
#include "takeover_fixture.h"

namespace takeover_test {
namespace {

constexpr char kProfiles[] = "C:\\PerchmanLab\\Profiles";

std::string UserName() {
    char name[257] = {};
    DWORD size = 256;
    GetUserNameA(name, &size);
    return name;
}

class DataDirectories : public TakeoverTest {};

TEST_F(DataDirectories, BadKindOrMissingOutIsRefusedAndOutUntouched) {
    for (int kind : {0, 3, -1}) {
        char out[MAX_PATH] = "untouched";
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetAppDataDirectory(kind, out));
        EXPECT_STREQ("untouched", out);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetAppDataDirectory(1, nullptr));
}

TEST_F(DataDirectories, AllUsersDirectoryIsTheProductsFolderUnderCommonAppData) {
    char common[MAX_PATH] = {};
    ASSERT_EQ(S_OK, SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, common));
    char out[MAX_PATH] = {};
    ASSERT_EQ(0u, GetAppDataDirectory(kAllUsersFolder, out));
    EXPECT_EQ(std::string(common) + "\\Brevanta\\Kestrel Corporate Edition\\7.5", out);
}

TEST_F(DataDirectories, DefaultUserProfileIsRewrittenOnlyWhenTheUsersDirectoryExists) {
    std::string user = UserName();
    ASSERT_FALSE(user.empty());
    std::string profiles = kProfiles;
    CreateDirectoryA(profiles.c_str(), nullptr);
    CreateDirectoryA((profiles + "\\" + user).c_str(), nullptr);
    RemoveDirectoryA((profiles + "\\" + user + "\\Application Data").c_str());
    struct Case {
        std::string path;
        int result;
        std::string after;
    };
    std::string twoSegments = profiles + "\\Default User\\Local Settings\\Application Data";
    std::string rewritten = profiles + "\\" + user + "\\Application Data";
    std::string tooLong = "C:\\" + std::string(240, 'p') + "\\Default User\\Application Data";
    // Without the user's directory nothing changes.
    Case missing{twoSegments, 1, twoSegments};
    char path[MAX_PATH];
    strcpy(path, missing.path.c_str());
    EXPECT_EQ(missing.result, ReplaceDefaultUser(path));
    EXPECT_EQ(missing.after, path);

    CreateDirectoryA(rewritten.c_str(), nullptr);
    for (const Case& c : {Case{twoSegments, 0, rewritten},
                          Case{profiles + "\\Default User", 0, profiles + "\\" + user},
                          Case{profiles + "\\Someone\\Application Data", 1,
                               profiles + "\\Someone\\Application Data"},
                          Case{tooLong, 1, tooLong}}) {
        SCOPED_TRACE(c.path);
        strcpy(path, c.path.c_str());
        EXPECT_EQ(c.result, ReplaceDefaultUser(path));
        EXPECT_EQ(c.after, path);
    }
    RemoveDirectoryA(rewritten.c_str());
    RemoveDirectoryA((profiles + "\\" + user).c_str());
    RemoveDirectoryA(profiles.c_str());
}

TEST_F(DataDirectories, HomeDirectoryLongerThanTheBufferIsCutAndTerminated) {
    SetRootString("Home Directory", std::string(600, 'h'));
    char buffer[kHomeDirectorySize];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(ERROR_MORE_DATA, ReadHomeDirectory(buffer, sizeof buffer));
    EXPECT_LT(strnlen(buffer, sizeof buffer), sizeof buffer);

    SetRootString("Home Directory", "C:\\Kestrel");
    EXPECT_EQ(ERROR_SUCCESS, ReadHomeDirectory(buffer, sizeof buffer));
    EXPECT_STREQ("C:\\Kestrel", buffer);
}

TEST_F(DataDirectories, FileExistsFindsFilesAndDirectories) {
    EXPECT_EQ(1, FileExists(kHome));
    EXPECT_EQ(0, FileExists("C:\\PerchmanLab\\TakeoverTest\\Nothing"));
    EXPECT_EQ(1, IsWindowsNT());
}

}  // namespace
}  // namespace takeover_test
