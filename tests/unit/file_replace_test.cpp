// A file another program reads is replaced whole or not at all, on both
// families: in one step where the system has MoveFileEx, and on Windows 9x by
// moving the old file aside until the new one has taken its place.

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <iterator>
#include <optional>
#include <string>

#include "platform/file_replace.h"
#include "platform/system_functions.h"

namespace {

constexpr char kFolder[] = "C:\\PerchmanLab\\FileReplaceTest";
constexpr char kTarget[] = "C:\\PerchmanLab\\FileReplaceTest\\target.dat";

std::optional<std::string> Contents(const char* path) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void Write(const char* path, const std::string& contents) {
    std::ofstream(path, std::ios::binary) << contents;
}

// The names in the folder besides the target: nothing may be left behind.
int OtherFiles() {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA("C:\\PerchmanLab\\FileReplaceTest\\*", &found);
    int others = 0;
    if (search == INVALID_HANDLE_VALUE) return 0;
    do {
        std::string name = found.cFileName;
        if (name != "." && name != ".." && name != "target.dat") ++others;
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return others;
}

class FileReplace : public ::testing::TestWithParam<bool> {
protected:
    void SetUp() override {
        saved_ = EngineFunctions;
        EngineFunctions.IsWin9x = GetParam() ? 1 : 0;
        CreateDirectoryA("C:\\PerchmanLab", nullptr);
        CreateDirectoryA(kFolder, nullptr);
        Clean();
    }
    void TearDown() override {
        Clean();
        RemoveDirectoryA(kFolder);
        EngineFunctions = saved_;
    }
    void Clean() {
        WIN32_FIND_DATAA found;
        HANDLE search = FindFirstFileA("C:\\PerchmanLab\\FileReplaceTest\\*", &found);
        if (search == INVALID_HANDLE_VALUE) return;
        do {
            std::string path = std::string(kFolder) + "\\" + found.cFileName;
            if (found.cFileName[0] != '.') DeleteFileA(path.c_str());
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    // A whole new file beside the target, as a takeover leaves it.
    std::string NewFile(const std::string& contents) {
        char temp[MAX_PATH];
        EXPECT_TRUE(CreateTempBeside(kTarget, temp));
        Write(temp, contents);
        return temp;
    }
    SystemFunctions saved_;
};

TEST_P(FileReplace, TheNewFileTakesThePlaceOfTheOldOrOfNone) {
    std::string temp = NewFile("new");
    EXPECT_EQ(ReplaceWithTemp(temp.c_str(), kTarget), Replacement::Done);
    EXPECT_EQ(Contents(kTarget), "new");

    Write(kTarget, "old");
    temp = NewFile("newer");
    EXPECT_EQ(ReplaceWithTemp(temp.c_str(), kTarget), Replacement::Done);
    EXPECT_EQ(Contents(kTarget), "newer");
    EXPECT_EQ(OtherFiles(), 0);
}

// A new file that cannot be moved in (here: gone before its move) leaves the
// old one whole under its own name, with nothing else beside it.
TEST_P(FileReplace, AMoveThatFailsLeavesTheOldFileWhole) {
    Write(kTarget, "old");
    std::string temp = NewFile("new");
    DeleteFileA(temp.c_str());
    SetLastError(0xdeadbeef);
    EXPECT_EQ(ReplaceWithTemp(temp.c_str(), kTarget), Replacement::Failed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Contents(kTarget), "old");
    EXPECT_EQ(OtherFiles(), 0);
}

INSTANTIATE_TEST_SUITE_P(Families, FileReplace, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Win9x" : "Nt"; });

}  // namespace
