#include "takeover_fixture.h"

#include <shlwapi.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/text.h"
#include "platform/system_functions.h"
#include "output/output.h"
#include "product/product_keys.h"
#include "product/product_library.h"

namespace takeover_test {

namespace {

constexpr char kRoot[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion";
constexpr char kControl[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";

FakeServers servers;
ProductLibrary savedProduct;

product::Status WINAPI FakeDeleteServerKey(const char* server, const char* keyPath) {
    servers.deletedKeys.push_back({server, keyPath, ""});
    return 0;
}

product::Status WINAPI FakeRemoteFileCopy(const char* server, const char* remotePath, uint32_t,
                                          const char* localPath, uint32_t) {
    servers.copies.push_back({server, remotePath, localPath});
    // A copy that fails breaks off half-way, as one over the network does:
    // what it wrote of the file stays where it wrote it.
    FILE* file = std::fopen(localPath, "wb");
    if (!file) return servers.copyStatus ? servers.copyStatus : ERROR_PATH_NOT_FOUND;
    size_t length = std::strlen(kServerHpdFile);
    std::fwrite(kServerHpdFile, 1, servers.copyStatus ? length / 2 : length, file);
    std::fclose(file);
    return servers.copyStatus;
}

DWORD WINAPI FakeGetDwordValue(HKEY key, const char* name, DWORD defaultValue) {
    DWORD value = 0;
    DWORD size = sizeof value;
    DWORD type = 0;
    if (RegQueryValueExA(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &size) ||
        type != REG_DWORD)
        return defaultValue;
    return value;
}

void SetValue(const char* path, const char* name, DWORD type, const void* data, DWORD size) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, path, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &key, nullptr));
    RegSetValueExA(key, name, 0, type, static_cast<const BYTE*>(data), size);
    RegCloseKey(key);
}

std::optional<std::string> GetValue(const char* path, const char* name, DWORD* type) {
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, &key)) return std::nullopt;
    char data[2048];
    DWORD size = sizeof data;
    DWORD valueType = 0;
    LONG status = RegQueryValueExA(key, name, nullptr, &valueType, reinterpret_cast<BYTE*>(data), &size);
    RegCloseKey(key);
    if (status) return std::nullopt;
    if (type) *type = valueType;
    return std::string(data, size);
}

void RemoveProductRoot() {
    SHDeleteKeyA(HKEY_LOCAL_MACHINE, kRoot);
}

}  // namespace

FakeServers& Servers() { return servers; }

void TakeoverTest::SetUp() {
    static bool bound = LoadSystemFunctions(EngineFunctions) != 0;
    ASSERT_TRUE(bound);
    savedWin9x_ = EngineFunctions.IsWin9x;
    ASSERT_EQ(0u, kestrel::InstallService());
    ASSERT_EQ(0u, kestrel::RegisterControlObject());
    kestrel::StopService();
    kestrel::ResetBehaviour();

    CloseProductKeys();
    RemoveProductRoot();
    HKEY control = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_LOCAL_MACHINE, kControl, 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, &control, nullptr));
    RegCloseKey(control);
    CreateDirectoryA("C:\\PerchmanLab", nullptr);
    CreateDirectoryA("C:\\PerchmanLab\\TakeoverTest", nullptr);
    CreateDirectoryA(kHome, nullptr);
    DeleteFileA(kHpdPath);
    SetRootString("Home Directory", kHome);
    ASSERT_EQ(0u, OpenProductKeys());

    savedProduct = Product;
    servers = FakeServers();
    Product.DeleteServerKey = FakeDeleteServerKey;
    Product.RemoteFileCopy = FakeRemoteFileCopy;
    Product.GetDwordValue = FakeGetDwordValue;
}

void TakeoverTest::TearDown() {
    if (capturing_) Captured();
    kestrel::RemoveProduct();
    Product = savedProduct;
    EngineFunctions.IsWin9x = savedWin9x_;
    CloseProductKeys();
    RemoveProductRoot();
    DeleteFileA(kHpdPath);
}

void TakeoverTest::SetRootString(const char* name, const std::string& value) {
    SetValue(kRoot, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}
void TakeoverTest::SetRootDword(const char* name, DWORD value) {
    SetValue(kRoot, name, REG_DWORD, &value, sizeof value);
}
void TakeoverTest::SetRootBinary(const char* name, const std::string& bytes) {
    SetValue(kRoot, name, REG_BINARY, bytes.data(), static_cast<DWORD>(bytes.size()));
}
void TakeoverTest::SetControlDword(const char* name, DWORD value) {
    SetValue(kControl, name, REG_DWORD, &value, sizeof value);
}
void TakeoverTest::SetControlString(const char* name, const std::string& value) {
    SetValue(kControl, name, REG_SZ, value.c_str(), static_cast<DWORD>(value.size() + 1));
}
std::optional<std::string> TakeoverTest::RootValue(const char* name, DWORD* type) {
    return GetValue(kRoot, name, type);
}
std::optional<DWORD> TakeoverTest::RootDword(const char* name) {
    auto value = GetValue(kRoot, name, nullptr);
    if (!value || value->size() != 4) return std::nullopt;
    return *reinterpret_cast<const DWORD*>(value->data());
}
std::optional<DWORD> TakeoverTest::ControlDword(const char* name) {
    auto value = GetValue(kControl, name, nullptr);
    if (!value || value->size() != 4) return std::nullopt;
    return *reinterpret_cast<const DWORD*>(value->data());
}

void TakeoverTest::StartProduct() { ASSERT_EQ(0u, kestrel::StartService()); }

bool TakeoverTest::ProductServiceRunning() { return kestrel::ServiceState() == SERVICE_RUNNING; }

std::string TakeoverTest::ReadHpdFile(const char* path) {
    std::string content;
    FILE* file = std::fopen(path, "rb");
    if (!file) return content;
    char chunk[1024];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) content.append(chunk, n);
    std::fclose(file);
    return content;
}

void TakeoverTest::WriteHpdFile(const std::string& bytes, const char* path) {
    FILE* file = std::fopen(path, "wb");
    ASSERT_TRUE(file) << path;
    std::fwrite(bytes.data(), 1, bytes.size(), file);
    std::fclose(file);
}

std::vector<std::string> TakeoverTest::FilesIn(const std::string& directory) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((directory + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) return names;
    do {
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

bool TakeoverTest::HpdFileExists(const char* path) {
    return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES;
}

std::string TakeoverTest::Text(unsigned id, ...) {
    char format[1024];
    LoadMessage(id, format);
    char line[1024];
    va_list args;
    va_start(args, id);
    FormatTextV(line, sizeof line, format, args);
    va_end(args);
    return line;
}

std::string TakeoverTest::ComputerName() {
    char name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof name;
    GetComputerNameA(name, &size);
    return name;
}

void TakeoverTest::Capture() {
    ::testing::internal::CaptureStdout();
    capturing_ = true;
}

std::string TakeoverTest::Captured() {
    capturing_ = false;
    return ::testing::internal::GetCapturedStdout();
}

std::string FullForm(const std::string& parent) {
    return "[KEYS]\r\n!KEY!=$REGROOT$\r\nAlertDirectory=S\\" + parent + "\\FWALERT$\r\n" +
           "RemoteHomeDirectory=S\\" + parent + "\\FWHOME\r\nParent=S" + parent + "\r\n" +
           "FullHPDUpdateCounter=D1\r\nHPDUpdateTime=B0000004747470000\r\nConnected=D1\r\n";
}

std::string ShortForm() {
    return "[KEYS]\r\n!KEY!=$REGROOT$\r\nConnected=D1\r\nHPDUpdateTime=B0000004747470000\r\n";
}

}  // namespace takeover_test
