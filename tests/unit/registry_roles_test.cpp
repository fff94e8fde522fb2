// The quarantine and alerts roles: a server's published quarantine settings
// copied into this machine's flat key, and the alerts server named.

#include <map>

#include "takeover/takeovers.h"
#include "takeover_lab.h"

namespace {

using namespace takeover_lab;

struct ServerValue {
    std::string name;
    DWORD type;
    std::string data;
};
struct ServerKey {
    std::vector<std::string> subkeys;
    std::vector<ServerValue> values;
};
// The one server's registry below its product root, by key path.
std::map<std::string, ServerKey> ServerTree;
product::Status ServerStatus = 0;  // non-zero: the server cannot be reached

product::Status WINAPI FakeEnumSubKeys(const char*, const char* keyPath, char* listing,
                                       uint32_t size, uint32_t* more, uint32_t* count) {
    *more = 0;
    *count = 0;
    if (ServerStatus) return ServerStatus;
    auto key = ServerTree.find(keyPath);
    if (key == ServerTree.end()) return product::kNotFound;
    char* at = listing;
    for (const std::string& name : key->second.subkeys) {
        std::memcpy(at, name.c_str(), name.size() + 1);
        at += name.size() + 1;
        ++*count;
    }
    return 0;
}

product::Status WINAPI FakeEnumValues(const char*, const char* keyPath, char* listing,
                                      uint32_t size, uint32_t* more, uint32_t* count) {
    *more = 0;
    *count = 0;
    if (ServerStatus) return ServerStatus;
    auto key = ServerTree.find(keyPath);
    if (key == ServerTree.end()) return product::kNotFound;
    char* at = listing;
    for (const ServerValue& value : key->second.values) {
        std::memcpy(at, value.name.c_str(), value.name.size() + 1);
        at += value.name.size() + 1;
        uint32_t type = value.type, length = static_cast<uint32_t>(value.data.size());
        std::memcpy(at, &type, 4);
        std::memcpy(at + 4, &length, 4);
        std::memcpy(at + 8, value.data.data(), length);
        at += 8 + length;
        ++*count;
    }
    return 0;
}

const char* WINAPI FakeUnpack(const char* cursor, char* name, uint32_t* type, uint8_t* data,
                              uint32_t* size) {
    size_t nameLength = std::strlen(cursor);
    std::memcpy(name, cursor, nameLength + 1);
    cursor += nameLength + 1;
    uint32_t length = 0;
    std::memcpy(type, cursor, 4);
    std::memcpy(&length, cursor + 4, 4);
    std::memcpy(data, cursor + 8, length);
    *size = length;
    return cursor + 8 + length;
}

std::string Dword(DWORD value) { return std::string(reinterpret_cast<char*>(&value), 4); }

class RegistryRolesTest : public TakeoverTest {
protected:
    void SetUp() override {
        TakeoverTest::SetUp();
        ServerTree.clear();
        ServerStatus = 0;
        Product.EnumServerSubKeys = FakeEnumSubKeys;
        Product.EnumServerValues = FakeEnumValues;
        Product.UnpackValueEntry = FakeUnpack;
    }
    // The local quarantine key's values, name -> (type, data).
    std::map<std::string, std::pair<DWORD, std::string>> LocalQuarantine() {
        std::map<std::string, std::pair<DWORD, std::string>> values;
        HKEY key = nullptr;
        if (RegOpenKeyExA(Keys.Root, "Quarantine", 0, KEY_READ, &key)) return values;
        for (DWORD i = 0;; ++i) {
            char name[256];
            BYTE data[512];
            DWORD nameSize = sizeof name, dataSize = sizeof data, type = 0;
            if (RegEnumValueA(key, i, name, &nameSize, nullptr, &type, data, &dataSize)) break;
            values[name] = {type, std::string(reinterpret_cast<char*>(data), dataSize)};
        }
        RegCloseKey(key);
        return values;
    }
    bool LocalQuarantineHasSubkeys() {
        HKEY key = nullptr;
        if (RegOpenKeyExA(Keys.Root, "Quarantine", 0, KEY_READ, &key)) return false;
        DWORD subkeys = 0;
        RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr,
                         nullptr, nullptr, nullptr, nullptr);
        RegCloseKey(key);
        return subkeys != 0;
    }
};

TEST_F(RegistryRolesTest, QuarantineValuesOfAllSubkeysLandInOneFlatKey) {
    ServerTree["ClientConfig\\Quarantine"] = {{"Forward", "Scan"}, {}};
    ServerTree["ClientConfig\\Quarantine\\Forward"] = {
        {"Deep"}, {{"Server", REG_SZ, std::string("QSRV\0", 5)}, {"Port", REG_DWORD, Dword(2847)}}};
    ServerTree["ClientConfig\\Quarantine\\Forward\\Deep"] = {{}, {{"Blob", REG_BINARY, std::string("\x01\x00\x02", 3)}}};
    ServerTree["ClientConfig\\Quarantine\\Scan"] = {{}, {{"Days", REG_DWORD, Dword(30)}}};
    EXPECT_EQ(Printing(out, [] { return TakeOverQuarantine("S1"); }), 1);
    auto values = LocalQuarantine();
    std::map<std::string, std::pair<DWORD, std::string>> expected = {
        {"Server", {REG_SZ, std::string("QSRV\0", 5)}},
        {"Port", {REG_DWORD, Dword(2847)}},
        {"Blob", {REG_BINARY, std::string("\x01\x00\x02", 3)}},
        {"Days", {REG_DWORD, Dword(30)}}};
    EXPECT_EQ(values, expected);
    EXPECT_FALSE(LocalQuarantineHasSubkeys());
    EXPECT_EQ(out, "");
}

TEST_F(RegistryRolesTest, QuarantineValueNearerTheTopWins) {
    ServerTree["ClientConfig\\Quarantine"] = {{"A"}, {{"Mode", REG_DWORD, Dword(1)}}};
    ServerTree["ClientConfig\\Quarantine\\A"] = {
        {"B"}, {{"Mode", REG_DWORD, Dword(2)}, {"Level", REG_DWORD, Dword(2)}}};
    ServerTree["ClientConfig\\Quarantine\\A\\B"] = {
        {}, {{"Mode", REG_DWORD, Dword(3)}, {"Level", REG_DWORD, Dword(3)}}};
    EXPECT_EQ(Printing(out, [] { return TakeOverQuarantine("S1"); }), 1);
    auto values = LocalQuarantine();
    EXPECT_EQ(values["Mode"].second, Dword(1));
    EXPECT_EQ(values["Level"].second, Dword(2));
}

TEST_F(RegistryRolesTest, QuarantineWithNothingToCopyLeavesTheLocalKeyAsItWas) {
    struct Case {
        const char* name;
        bool sourceExists;
        product::Status serverStatus;
    };
    for (const Case& c : {Case{"empty source", true, 0}, Case{"no source", false, 0},
                          Case{"server unreachable", true, product::kCommTimeout}}) {
        SCOPED_TRACE(c.name);
        ServerTree.clear();
        if (c.sourceExists) {
            ServerTree["ClientConfig\\Quarantine"] = {{"Empty"}, {}};
            ServerTree["ClientConfig\\Quarantine\\Empty"] = {};
        }
        ServerStatus = c.serverStatus;
        EXPECT_EQ(Printing(out, [] { return TakeOverQuarantine("S1"); }), 0);
        HKEY key = nullptr;
        EXPECT_NE(RegOpenKeyExA(Keys.Root, "Quarantine", 0, KEY_READ, &key), ERROR_SUCCESS);
    }
}

TEST_F(RegistryRolesTest, QuarantineKeepsLocalValuesTheServerDoesNotHandOut) {
    HKEY local = nullptr;
    ASSERT_EQ(RegCreateKeyExA(Keys.Root, "Quarantine", 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                              &local, nullptr), ERROR_SUCCESS);
    DWORD old = 7;
    RegSetValueExA(local, "Own", 0, REG_DWORD, reinterpret_cast<BYTE*>(&old), 4);
    RegSetValueExA(local, "Days", 0, REG_DWORD, reinterpret_cast<BYTE*>(&old), 4);
    RegCloseKey(local);
    ServerTree["ClientConfig\\Quarantine"] = {{}, {{"Days", REG_DWORD, Dword(30)}}};
    EXPECT_EQ(Printing(out, [] { return TakeOverQuarantine("S1"); }), 1);
    auto values = LocalQuarantine();
    EXPECT_EQ(values["Own"].second, Dword(7));
    EXPECT_EQ(values["Days"].second, Dword(30));
}

TEST_F(RegistryRolesTest, AlertsNameTheServerAndSwitchTheClientOn) {
    // Twice: values that already hold these contents are simply written again.
    for (int run = 0; run < 2; ++run) {
        EXPECT_EQ(Printing(out, [] { return TakeOverAlerts("ALERTSRV"); }), 1);
        char name[64] = {};
        DWORD size = sizeof name, type = 0;
        ASSERT_EQ(RegQueryValueExA(Keys.Common, "NQSSERVER", nullptr, &type,
                                   reinterpret_cast<BYTE*>(name), &size), ERROR_SUCCESS);
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        EXPECT_STREQ(name, "ALERTSRV");
        // Written without a terminator; the NT family stores one of its own.
        EXPECT_TRUE(size == 8 || (size == 9 && name[8] == '\0')) << size;
        EXPECT_EQ(ReadDword(Keys.Common, "NQS"), 1u);
        EXPECT_EQ(ReadDword(Keys.ProductControl, "LoadNQS"), 1u);
    }
    EXPECT_EQ(out, "");
}

}  // namespace
