#pragma once
// The takeovers run in this process against the product stand-in service of
// the prefix; the product library's server calls are replaced through its
// bound table and recorded.

#include <gtest/gtest.h>
#include <windows.h>

#include <optional>
#include <string>
#include <vector>

#include "kestrel/kestrel_lab.h"
#include "kestrel/kestrel_layout.h"

namespace takeover_test {

constexpr char kHome[] = "C:\\PerchmanLab\\TakeoverTest\\Home";
constexpr char kHpdPath[] = "C:\\PerchmanLab\\TakeoverTest\\Home\\HPD.DAT";
constexpr char kMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";

// The file a takeover finds in place before it starts.
constexpr char kPreviousHpdFile[] = "[KEYS]\r\n!KEY!=$REGROOT$\r\nParent=SOLD\r\n";
// What a server's HPD.DAT holds in these tests.
constexpr char kServerHpdFile[] = "[KEYS]\r\n!KEY!=$REGROOT$\r\nFromServer=Syes\r\n";

struct ServerCall {
    std::string server;
    std::string path;
    std::string local;  // copies only
};

// What the replaced library calls saw, and what the copy answers.
struct FakeServers {
    std::vector<ServerCall> deletedKeys;
    std::vector<ServerCall> copies;
    DWORD copyStatus = 0;
};
FakeServers& Servers();

class TakeoverTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Product root values (HKLM\...\CurrentVersion) and its ProductControl key.
    void SetRootString(const char* name, const std::string& value);
    void SetRootDword(const char* name, DWORD value);
    void SetRootBinary(const char* name, const std::string& bytes);
    void SetControlDword(const char* name, DWORD value);
    void SetControlString(const char* name, const std::string& value);
    std::optional<std::string> RootValue(const char* name, DWORD* type = nullptr);
    std::optional<DWORD> RootDword(const char* name);
    std::optional<DWORD> ControlDword(const char* name);
    void StartProduct();  // the stand-in service, waited for until it runs
    bool ProductServiceRunning();
    std::string ReadHpdFile(const char* path = kHpdPath);
    bool HpdFileExists(const char* path = kHpdPath);
    void WriteHpdFile(const std::string& bytes, const char* path = kHpdPath);
    // The names of the files in a folder, sorted: what a takeover left there.
    static std::vector<std::string> FilesIn(const std::string& directory);
    // Message id as the program prints it, formatted with the arguments.
    static std::string Text(unsigned id, ...);
    static std::string ComputerName();

    std::string output_;  // stdout of the code under test, when captured
    void Capture();
    std::string Captured();

private:
    bool capturing_ = false;
    DWORD savedWin9x_ = 0;
};

// The full form of the file for a parent, as the product expects its bytes.
std::string FullForm(const std::string& parent);
std::string ShortForm();

}  // namespace takeover_test
