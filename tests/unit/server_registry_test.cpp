#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "common/text.h"
#include "engine_fakes.h"
#include "platform/stop_request.h"
#include "product/server_registry.h"

namespace {

using engine_test::SavedTables;

// ---- A server's keys as the fake enumerators list them ---------------------------

struct FakeValue {
    std::string name;
    uint32_t type;
    std::string data;
};
struct FakeKey {
    std::vector<std::string> subkeys;
    std::vector<FakeValue> values;
    product::Status failWith = 0;
    bool emptyMore = false;  // every listing says "more" and brings nothing
};

std::map<std::string, FakeKey> Tree;
std::vector<std::string> SubkeyListings;  // key paths asked for, in order
constexpr uint32_t kBatch = 2;            // names per listing call
// Where the next listing of a key resumes.
std::map<std::string, size_t> SubkeyResume;
std::map<std::string, size_t> ValueResume;
size_t ListingCalls = 0;
size_t StopAfterListings = 0;  // 0: never

product::Status WINAPI FakeEnumSubKeys(const char* server, const char* keyPath,
                                       char* listing, uint32_t size, uint32_t* more,
                                       uint32_t* count) {
    SubkeyListings.push_back(keyPath);
    if (++ListingCalls == StopAfterListings) RequestEngineStop();
    auto found = Tree.find(keyPath);
    if (found == Tree.end()) return product::kNotFound;
    if (found->second.failWith) return found->second.failWith;
    if (found->second.emptyMore) {
        *more = 1;
        *count = 0;
        return 0;
    }
    size_t& next = SubkeyResume[keyPath];
    const std::vector<std::string>& names = found->second.subkeys;
    *count = 0;
    char* out = listing;
    for (; next < names.size() && *count < kBatch; ++next, ++*count) {
        std::memcpy(out, names[next].c_str(), names[next].size() + 1);
        out += names[next].size() + 1;
    }
    *more = next < names.size() ? 1 : 0;
    if (!*more) next = 0;
    return 0;
}

product::Status WINAPI FakeEnumValues(const char* server, const char* keyPath, char* listing,
                                      uint32_t size, uint32_t* more, uint32_t* count) {
    if (++ListingCalls == StopAfterListings) RequestEngineStop();
    auto found = Tree.find(keyPath);
    if (found == Tree.end()) return product::kNotFound;
    if (found->second.emptyMore) {
        *more = 1;
        *count = 0;
        return 0;
    }
    size_t& next = ValueResume[keyPath];
    const std::vector<FakeValue>& values = found->second.values;
    *count = 0;
    char* out = listing;
    // name, 32-bit type, 32-bit size, data: one value per batch.
    if (next < values.size()) {
        const FakeValue& v = values[next++];
        std::memcpy(out, v.name.c_str(), v.name.size() + 1);
        out += v.name.size() + 1;
        uint32_t fields[2] = {v.type, static_cast<uint32_t>(v.data.size())};
        std::memcpy(out, fields, sizeof fields);
        std::memcpy(out + sizeof fields, v.data.data(), v.data.size());
        *count = 1;
    }
    *more = next < values.size() ? 1 : 0;
    if (!*more) next = 0;
    return 0;
}

const char* WINAPI FakeUnpack(const char* cursor, char* name, uint32_t* type, uint8_t* data,
                              uint32_t* size) {
    size_t nameLength = std::strlen(cursor);
    CopyText(name, product::kEntryNameSize, cursor);  // the library's 384 bytes at most
    cursor += nameLength + 1;
    uint32_t fields[2];
    std::memcpy(fields, cursor, sizeof fields);
    cursor += sizeof fields;
    *type = fields[0];
    uint32_t copied = fields[1] < *size ? fields[1] : *size;
    std::memcpy(data, cursor, copied);
    *size = fields[1];  // the whole size, even when it did not fit
    return cursor + fields[1];
}

struct Seen {
    std::vector<std::string> keys;
    std::vector<std::string> values;  // "keyPath|name|type|size"
};

int OnKey(void* context, const char* name) {
    static_cast<Seen*>(context)->keys.push_back(name);
    return 0;
}
int OnValue(void* context, const char* keyPath, const char* name, uint32_t type,
            const uint8_t* data, uint32_t size) {
    static_cast<Seen*>(context)->values.push_back(std::string(keyPath) + "|" + name + "|" +
                                                  std::to_string(type) + "|" +
                                                  std::to_string(size));
    return 0;
}

class WalkServerKeyTest : public ::testing::Test {
protected:
    void SetUp() override {
        Tree.clear();
        SubkeyListings.clear();
        SubkeyResume.clear();
        ValueResume.clear();
        Product.EnumServerSubKeys = FakeEnumSubKeys;
        Product.EnumServerValues = FakeEnumValues;
        Product.UnpackValueEntry = FakeUnpack;
        ListingCalls = 0;
        StopAfterListings = 0;
    }
    void TearDown() override { ClearEngineStop(); }
    SavedTables saved_;
};

TEST_F(WalkServerKeyTest, WalksBatchesAndBuildsPathsWithOneBackslash) {
    Tree[""] = {{"Clients", "Common"}, {{"Parent", REG_SZ, "P\0"}}};
    Tree["Clients"] = {{"A_::_01", "B", "C"}, {}};
    Tree["Clients\\A_::_01"] = {{}, {{"good", REG_DWORD, std::string(4, '\0')}}};
    Tree["Clients\\B"] = {};
    Tree["Clients\\C"] = {};
    Tree["Common"] = {{}, {{"x", REG_BINARY, std::string(900, 'z')}, {"y", REG_SZ, "1"}}};

    Seen seen;
    uint32_t keys = 77, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "", &keys, &values, 1, 1, &seen, OnKey, OnValue), 0u);
    EXPECT_EQ(seen.keys,
              (std::vector<std::string>{"Clients", "A_::_01", "B", "C", "Common"}));
    EXPECT_EQ(keys, 5u);
    // Clients has three subkeys: listed in two batches through the more-flag.
    EXPECT_EQ(SubkeyListings,
              (std::vector<std::string>{"", "Clients", "Clients\\A_::_01", "Clients\\B", "Clients",
                                        "Clients\\C", "Common"}));
    // The 900-byte x does not fit the 384-byte buffer: skipped, never cut.
    EXPECT_EQ(seen.values, (std::vector<std::string>{"Clients\\A_::_01|good|4|4",
                                                     "Common|y|1|1", "|Parent|1|1"}));
    EXPECT_EQ(values, 3u);
}

TEST_F(WalkServerKeyTest, MissingKeyIsEmptyAndCallbacksMayBeAbsent) {
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "Nowhere", &keys, &values, 1, 1, &seen, OnKey, OnValue), 0u);
    EXPECT_TRUE(seen.keys.empty());
    EXPECT_TRUE(seen.values.empty());

    Tree["K"] = {{"S"}, {{"v", REG_SZ, "1"}}};
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 1, nullptr, nullptr, nullptr), 0u);
    EXPECT_EQ(keys, 1u);
    EXPECT_EQ(values, 1u);
}

TEST_F(WalkServerKeyTest, WithoutRecursionOnlyTheKeyItselfIsListed) {
    Tree["K"] = {{"S1", "S2"}, {}};
    Tree["K\\S1"] = {{"Deep"}, {}};
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 0, 0, &seen, OnKey, OnValue), 0u);
    EXPECT_EQ(seen.keys, (std::vector<std::string>{"S1", "S2"}));
    EXPECT_EQ(SubkeyListings, std::vector<std::string>{"K"});
}

TEST_F(WalkServerKeyTest, FailingListingStopsTheWalkAndKeepsWhatWasReported) {
    Tree["K"] = {{"S1", "S2"}, {{"v", REG_SZ, "1"}}};
    Tree["K\\S1"] = {{}, {}, product::kCommLost};
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 1, &seen, OnKey, OnValue),
              product::kCommLost);
    EXPECT_EQ(seen.keys, std::vector<std::string>{"S1"});
    EXPECT_TRUE(seen.values.empty());
}

TEST_F(WalkServerKeyTest, PathTooLongForTheBufferIsRefusedNotCut) {
    std::string longName(300, 'n');
    Tree["K"] = {{longName}, {}};
    Tree["K\\" + longName] = {{longName}, {}};
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 0, &seen, OnKey, OnValue),
              static_cast<product::Status>(ERROR_FILENAME_EXCED_RANGE));
    EXPECT_EQ(seen.keys.size(), 2u);
}

std::string Numbered(const char* prefix, int n) {
    std::string name = prefix;
    name += std::to_string(n);
    return name;
}

// A server decides how deep and wide its keys are: the walk goes 16 keys
// down, sees 256 keys and 1024 values at most, and says so.
TEST_F(WalkServerKeyTest, DepthKeysAndValuesAreBounded) {
    struct Case {
        const char* shape;
        std::function<void()> build;
        uint32_t keys;
        uint32_t values;
        product::Status status;
    };
    const Case cases[] = {
        {"a chain of 20 keys",
         [] {
             std::string path = "K";
             for (int depth = 0; depth <= 20; ++depth) {
                 std::string below = Numbered("D", depth + 1);
                 Tree[path] = {{below}, {{"v", REG_DWORD, std::string(4, '\0')}}};
                 path += "\\";
                 path += below;
             }
         },
         17, 17, 0},  // D1 to D16 walked below K; D17 reported, not walked
        {"300 subkeys",
         [] {
             for (int i = 0; i < 300; ++i) Tree["K"].subkeys.push_back(Numbered("S", i));
         },
         256, 0, kWalkTooLarge},
        {"1100 values",
         [] {
             for (int i = 0; i < 1100; ++i)
                 Tree["K"].values.push_back({Numbered("v", i), REG_SZ, "1"});
         },
         0, 1024, kWalkTooLarge},
    };
    for (const Case& c : cases) {
        Tree.clear();
        SubkeyResume.clear();
        ValueResume.clear();
        c.build();
        Seen seen;
        uint32_t keys = 0, values = 0;
        EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 1, &seen, OnKey, OnValue),
                  c.status)
            << c.shape;
        EXPECT_EQ(keys, c.keys) << c.shape;
        EXPECT_EQ(values, c.values) << c.shape;
        EXPECT_EQ(seen.values.size(), c.values) << c.shape;
    }
}

// A listing that says "more" and brings nothing would be asked again for ever.
TEST_F(WalkServerKeyTest, AListingOfNothingThatSaysMoreEndsThatListing) {
    Tree["K"] = {{"S"}, {{"v", REG_SZ, "1"}}};
    Tree["K\\S"] = {{}, {}, 0, true};
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 1, &seen, OnKey, OnValue), 0u);
    EXPECT_EQ(seen.keys, std::vector<std::string>{"S"});
    EXPECT_EQ(seen.values, std::vector<std::string>{"K|v|1|1"});
    // K's subkeys, S's subkeys and values once each, K's values.
    EXPECT_EQ(ListingCalls, 4u);
}

// A walk of a slow server's keys takes each listing's time: a stop asked for
// meanwhile is honoured before the next listing.
TEST_F(WalkServerKeyTest, AStopEndsTheWalkBeforeItsNextListing) {
    for (int i = 0; i < 10; ++i) Tree["K"].subkeys.push_back(Numbered("S", i));
    StopAfterListings = 3;
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 1, &seen, OnKey, OnValue),
              kWalkStopped);
    EXPECT_EQ(ListingCalls, 3u);
}

// The library's buffers hold 384 bytes of a name and 384 of data: a value
// that does not fit is skipped, never handed on cut.
TEST_F(WalkServerKeyTest, ValuesAreHandedOnWholeOrNotAtAll) {
    Tree["K"] = {{},
                 {{"fits", REG_BINARY, std::string(384, 'd')},
                  {"data385", REG_BINARY, std::string(385, 'd')},
                  {std::string(383, 'n'), REG_SZ, "1"},
                  {std::string(384, 'n'), REG_SZ, "1"},
                  {"last", REG_SZ, "1"}}};
    Seen seen;
    uint32_t keys = 0, values = 0;
    EXPECT_EQ(WalkServerKey("SRV", "K", &keys, &values, 1, 1, &seen, OnKey, OnValue), 0u);
    EXPECT_EQ(seen.values,
              (std::vector<std::string>{"K|fits|3|384", "K|" + std::string(383, 'n') + "|1|1",
                                        "K|last|1|1"}));
    EXPECT_EQ(values, 3u);
}

// ---- ReadServerDword / WriteServerDword -------------------------------------------

struct DwordReply {
    product::Status status;
    uint16_t type;
    std::string data;
};
DwordReply NextDwordReply;
uint32_t LastCapacity;
std::string LastRequestedName;

product::Status WINAPI FakeReadOne(const char* server, const char* keyPath, uint8_t* block,
                                   uint32_t capacity, uint32_t* count) {
    LastCapacity = capacity;
    LastRequestedName = reinterpret_cast<const char*>(block);
    if (NextDwordReply.status) return NextDwordReply.status;
    uint16_t length = static_cast<uint16_t>(NextDwordReply.data.size());
    std::memcpy(block, &length, 2);
    std::memcpy(block + 2, NextDwordReply.data.data(), length);
    std::memcpy(block + 2 + length, &NextDwordReply.type, 2);
    return 0;
}
uint8_t* WINAPI FakeBlockData(uint8_t* block, uint32_t index, uint16_t* type) {
    uint16_t length;
    std::memcpy(&length, block, 2);
    std::memcpy(type, block + 2 + length, 2);
    return block + 2;
}

TEST(ServerDword, ReadsOnlyADwordAndOtherwiseGivesTheDefault) {
    SavedTables saved;
    Product.ReadServerValues = FakeReadOne;
    Product.GetValueBlockData = FakeBlockData;
    const std::string seven("\x07\x00\x00\x00", 4);
    struct Case {
        const char* what;
        DwordReply reply;
        DWORD expected;
    } cases[] = {
        {"a DWORD", {0, REG_DWORD, seven}, 7},
        {"a string", {0, REG_SZ, std::string("12\0", 3)}, 0xFFFFFFFD},
        {"a short DWORD", {0, REG_DWORD, "\x07"}, 0xFFFFFFFD},
        {"no such value", {product::kNotFound, 0, ""}, 0xFFFFFFFD},
        {"server down", {product::kCommTimeout, 0, ""}, 0xFFFFFFFD},
    };
    for (const Case& c : cases) {
        NextDwordReply = c.reply;
        EXPECT_EQ(ReadServerDword("SRV", "ProductControl", "ClientCount", 0xFFFFFFFD),
                  c.expected)
            << c.what;
        EXPECT_EQ(LastCapacity, product::kSingleBlockSize) << c.what;
        EXPECT_EQ(LastRequestedName, "ClientCount") << c.what;
    }
    // A name that leaves no room for the request's end is not sent.
    LastRequestedName.clear();
    EXPECT_EQ(ReadServerDword("SRV", "", std::string(127, 'v').c_str(), 5), 5u);
    EXPECT_EQ(LastRequestedName, "");
    EXPECT_EQ(ReadServerDword("SRV", "", std::string(126, 'v').c_str(), 5), 5u);
    EXPECT_EQ(LastRequestedName, std::string(126, 'v'));
}

uint8_t WrittenBlock[product::kSingleBlockSize];
uint32_t WrittenLength;
std::string WrittenKey;

product::Status WINAPI FakeAddValue(uint8_t* block, const char* name, uint32_t type,
                                    uint32_t size, const void* data, uint32_t* used) {
    size_t n = std::strlen(name) + 1;
    std::memcpy(block, name, n);
    std::memcpy(block + n, &type, 4);
    std::memcpy(block + n + 4, &size, 4);
    std::memcpy(block + n + 8, data, size);
    *used = static_cast<uint32_t>(n + 8 + size);
    return 0;
}
product::Status WINAPI FakeWrite(const char* server, const char* keyPath, uint32_t count,
                                 const uint8_t* block, uint32_t used) {
    std::memcpy(WrittenBlock, block, sizeof WrittenBlock);
    WrittenLength = used;
    WrittenKey = keyPath;
    return 0;
}

TEST(ServerDword, WritesOneDwordValue) {
    SavedTables saved;
    Product.AddValueToBlock = FakeAddValue;
    Product.WriteServerValues = FakeWrite;
    EXPECT_EQ(WriteServerDword("SRV", "Clients\\ME_::_00", "good", 0), 0u);
    EXPECT_EQ(WrittenKey, "Clients\\ME_::_00");
    EXPECT_EQ(WrittenLength, 5u + 8u + 4u);
    EXPECT_STREQ(reinterpret_cast<const char*>(WrittenBlock), "good");

    WrittenLength = 0;
    EXPECT_NE(WriteServerDword("SRV", "", std::string(200, 'v').c_str(), 0), 0u);
    EXPECT_EQ(WrittenLength, 0u);

    Product.WriteServerValues = nullptr;
    EXPECT_EQ(WriteServerDword("SRV", "", "good", 0), product::kLibraryUnavailable);
}

// ---- ReadLocalServerList ----------------------------------------------------------

constexpr char kControlPath[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";
constexpr char kRootPath[] = "SOFTWARE\\Tarvo";

// The value of an invented role under this machine's ProductControl, removed
// at the end together with any key the test had to create.
class LocalList : public ::testing::Test {
protected:
    void SetUp() override {
        HKEY probe;
        rootExisted_ = RegOpenKeyExA(HKEY_LOCAL_MACHINE, kRootPath, 0, KEY_READ, &probe) == 0;
        if (rootExisted_) RegCloseKey(probe);
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kControlPath, 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &key_, nullptr),
                  0);
        RegDeleteValueA(key_, kValue);
    }
    void TearDown() override {
        RegDeleteValueA(key_, kValue);
        RegCloseKey(key_);
        if (!rootExisted_) engine_test::DeleteKeyTree(HKEY_LOCAL_MACHINE, kRootPath);
    }
    void Set(DWORD type, const std::string& bytes) {
        RegSetValueExA(key_, kValue, 0, type, reinterpret_cast<const BYTE*>(bytes.data()),
                       static_cast<DWORD>(bytes.size()));
    }
    static constexpr char kValue[] = "RoamManagingUnitTestRoleLevel0";
    HKEY key_ = nullptr;
    bool rootExisted_ = false;
};

TEST_F(LocalList, ReadsTheLevelZeroValueBoundedToTheBuffer) {
    struct {
        char list[kListSize];
        char guard[16];
    } buffer;
    uint32_t elapsed = 12345;
    auto read = [&] {
        std::memset(&buffer, '#', sizeof buffer);
        return ReadLocalServerList(buffer.list, "UnitTestRole", &elapsed);
    };

    EXPECT_EQ(read(), ERROR_FILE_NOT_FOUND);
    EXPECT_STREQ(buffer.list, "");
    EXPECT_LT(elapsed, 1000u);

    Set(REG_SZ, std::string("A(30)>B,C\0", 10));
    EXPECT_EQ(read(), 0);
    EXPECT_STREQ(buffer.list, "A(30)>B,C");

    Set(REG_SZ, std::string("\0", 1));
    EXPECT_EQ(read(), 0);
    EXPECT_STREQ(buffer.list, "");

    // Not text and not terminated: the list still ends inside the buffer.
    Set(REG_BINARY, std::string(kListSize, 'x'));
    EXPECT_EQ(read(), 0);
    EXPECT_EQ(std::strlen(buffer.list), kListSize - 1);

    Set(REG_SZ, std::string(2000, 'y'));
    EXPECT_EQ(read(), ERROR_MORE_DATA);
    EXPECT_STREQ(buffer.list, "");
    EXPECT_EQ(std::string(buffer.guard, sizeof buffer.guard), std::string(16, '#'));
}

}  // namespace
