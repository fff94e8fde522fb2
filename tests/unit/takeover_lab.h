#pragma once
// What the takeover tests share: the product library's file copy replaced by
// one that copies from a folder per server, the product keys pointed at a
// scratch key, the agents' stand-in tools of the lab, and stdout captured.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine/engine_settings.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace takeover_lab {

namespace fs = std::filesystem;

// Each server's "$\" area.
constexpr char kServerFiles[] = "C:\\PerchmanUnit\\Servers";
// This machine's product root, for the test (HKCU, so nothing of a real
// product root is touched).
constexpr char kScratchRoot[] = "Software\\PerchmanUnit\\ProductRoot";
constexpr char kAgentsLog[] = "C:\\PerchmanLab\\agents.log";
constexpr char kAgentsKey[] = "SOFTWARE\\PerchmanLab\\Agents";
constexpr char kDovar[] = "c:\\Program Files\\Dovar";

struct CopyCall {
    std::string server, remote, local;
};
inline std::vector<CopyCall> Copies;
// A status every copy returns instead of copying (0: copy for real).
inline product::Status ForcedCopyStatus = 0;

inline product::Status WINAPI FakeRemoteFileCopy(const char* server, const char* remote,
                                                 uint32_t, const char* local, uint32_t) {
    Copies.push_back({server, remote, local});
    DWORD status = ForcedCopyStatus;
    if (!status) {
        std::string source = std::string(kServerFiles) + "\\" + server + "\\" + (remote + 2);
        status = CopyFileA(source.c_str(), local, FALSE) ? 0 : GetLastError();
    }
    SetLastError(status);
    return status;
}

// The lab's built stand-in for a sibling agent's tool.
inline std::string LabTool(const char* name) {
    return std::string(PERCHMAN_BUILD_DIR) + "\\lab\\" + name;
}

// Puts a file into a server's "$\" area (relative path like "WDR\x.exe").
inline void Publish(const std::string& server, const std::string& relative,
                    const std::string& sourcePath) {
    fs::path target = fs::path(kServerFiles) / server / relative;
    fs::create_directories(target.parent_path());
    ASSERT_TRUE(CopyFileA(sourcePath.c_str(), target.string().c_str(), FALSE))
        << sourcePath << " -> " << target.string();
}
inline void PublishText(const std::string& server, const std::string& relative,
                        const std::string& text) {
    fs::path target = fs::path(kServerFiles) / server / relative;
    fs::create_directories(target.parent_path());
    FILE* file = std::fopen(target.string().c_str(), "wb");
    ASSERT_TRUE(file);
    std::fwrite(text.data(), 1, text.size(), file);
    std::fclose(file);
}

inline void SetToolDword(const char* tool, const char* name, DWORD value) {
    std::string path = std::string(kAgentsKey) + "\\" + tool;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_SET_VALUE,
                              nullptr, &key, nullptr), ERROR_SUCCESS);
    RegSetValueExA(key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                   sizeof value);
    RegCloseKey(key);
}
inline void SetToolExitCode(const char* tool, DWORD code) { SetToolDword(tool, "ExitCode", code); }
// The tool hangs this long before it does anything.
inline void SetToolHang(const char* tool, DWORD ms) { SetToolDword(tool, "HangMs", ms); }

struct ToolLine {
    std::string tool, directory, commandLine;
};
// The runs of the stand-in tools, in order.
inline std::vector<ToolLine> ToolRuns() {
    std::vector<ToolLine> runs;
    FILE* file = std::fopen(kAgentsLog, "rb");
    if (!file) return runs;
    char line[2048];
    while (std::fgets(line, sizeof line, file)) {
        std::string text = line;
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
        size_t first = text.find('|');
        size_t second = text.find('|', first + 1);
        runs.push_back({text.substr(0, first), text.substr(first + 1, second - first - 1),
                        text.substr(second + 1)});
    }
    std::fclose(file);
    return runs;
}

inline std::string Message(unsigned id) {
    char text[kTextSize];
    LoadMessage(id, text);
    return text;
}
// The line of PrintErrorMessage(id, without the system text) for a last error.
inline std::string ErrorLine(unsigned id, DWORD code) {
    char line[kTextSize];
    FormatText(line, "%s - %s (%x)\n \n", Message(id).c_str(), Message(2).c_str(),
               static_cast<unsigned>(code));
    return line;
}
inline std::string SystemText(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text ? text : "";
    if (text) LocalFree(text);
    return result;
}
// The line of PrintLastError(message id, with the system text) for a last error.
inline std::string SystemErrorLine(unsigned id, DWORD code) {
    char line[kTextSize];
    FormatText(line, "%s - %s (%x) %s\n", Message(id).c_str(), Message(2).c_str(),
               static_cast<unsigned>(code), SystemText(code).c_str());
    return line;
}
inline std::string CopyTrace(const std::string& server, const std::string& remote,
                             const std::string& local, DWORD status) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, 158, server.c_str(), remote.c_str(), local.c_str(),
                    static_cast<int>(status), static_cast<unsigned>(status));
    return line;
}
inline std::string RunTrace(const std::string& tool, const std::string& directory,
                            const std::string& commandLine, DWORD exitCode) {
    char line[kTextSize];
    FormatMessageId(line, sizeof line, 157, tool.c_str(), directory.c_str(),
                    commandLine.c_str(), static_cast<int>(exitCode),
                    static_cast<unsigned>(exitCode));
    return line;
}

// Removes a key with everything under it.
inline void DeleteKeyTree(HKEY root, const std::string& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
    std::vector<std::string> children;
    char name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = sizeof name;
        if (RegEnumKeyExA(key, i, name, &size, nullptr, nullptr, nullptr, nullptr)) break;
        children.push_back(name);
    }
    RegCloseKey(key);
    for (const std::string& child : children) DeleteKeyTree(root, path + "\\" + child);
    RegDeleteKeyA(root, path.c_str());
}

inline std::optional<DWORD> ReadDword(HKEY key, const char* name) {
    DWORD value = 0, size = sizeof value, type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ||
        type != REG_DWORD)
        return std::nullopt;
    return value;
}

// Owns the product library table, the product keys, the engine settings, the
// scratch folders and keys of one test, and gives them all back at the end.
class TakeoverTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedProduct_ = Product;
        savedKeys_ = Keys;
        savedSettings_ = EngineSettings;
        Clean();
        Copies.clear();
        ForcedCopyStatus = 0;
        Product = ProductLibrary{};
        Product.RemoteFileCopy = FakeRemoteFileCopy;
        Keys = ProductKeys{};
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, kScratchRoot, 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &Keys.Root, nullptr), ERROR_SUCCESS);
        for (auto [name, handle] : {std::pair{"ProductControl", &Keys.ProductControl},
                                    std::pair{"Common", &Keys.Common}})
            ASSERT_EQ(RegCreateKeyExA(Keys.Root, name, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                      handle, nullptr), ERROR_SUCCESS);
    }
    void TearDown() override {
        for (HKEY key : {Keys.Root, Keys.ProductControl, Keys.Common})
            if (key) RegCloseKey(key);
        Product = savedProduct_;
        Keys = savedKeys_;
        EngineSettings = savedSettings_;
        Clean();
    }
    // Runs the code under test with its standard output caught in out (only
    // around the call, so that the test's own failure reports stay visible).
    template <typename Call>
    static auto Printing(std::string& out, Call call) {
        std::fflush(stdout);
        ::testing::internal::CaptureStdout();
        auto result = call();
        out = ::testing::internal::GetCapturedStdout();
        return result;
    }

    std::string out;  // what the last call under Printing wrote

private:
    static void Clean() {
        std::error_code ignored;
        fs::remove_all(kDovar, ignored);
        fs::remove_all("C:\\PerchmanUnit", ignored);
        fs::remove(kAgentsLog, ignored);
        DeleteKeyTree(HKEY_LOCAL_MACHINE, kAgentsKey);
        DeleteKeyTree(HKEY_CURRENT_USER, "Software\\PerchmanUnit");
    }
    ProductLibrary savedProduct_;
    ProductKeys savedKeys_;
    EngineSettingsRecord savedSettings_;
};

}  // namespace takeover_lab
