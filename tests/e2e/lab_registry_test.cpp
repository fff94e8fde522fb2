// Remote registry operations of the stand-in library: replies and their
// limits, writes and deletes, listings in batches.

#include <set>

#include "lab_fixture.h"

namespace {

class LabRegistryTest : public LabTest {};

uint16_t LengthField(const std::vector<uint8_t>& block) {
    uint16_t length;
    std::memcpy(&length, block.data(), sizeof length);
    return length;
}

TEST_F(LabRegistryTest, ReplyCarriesLengthDataAndType) {
    Load("server S\n"
         "string S ProductControl RoamManagingParentLevel1 A,B>C\n"
         "dword S - UsingPattern 7\n");
    std::vector<uint8_t> block;
    ASSERT_EQ(Read("S", "ProductControl", "RoamManagingParentLevel1", &block), 0u);
    EXPECT_EQ(LengthField(block), 6u);  // the registry keeps the string's NUL
    EXPECT_EQ(std::string(reinterpret_cast<char*>(block.data() + 2)), "A,B>C");
    uint16_t type = 0;
    EXPECT_EQ(lib_.GetValueBlockData(block.data(), 0, &type), block.data() + 2);
    EXPECT_EQ(type, REG_SZ);

    ASSERT_EQ(Read("S", "", "UsingPattern", &block, product::kSingleBlockSize), 0u);
    uint8_t* data = lib_.GetValueBlockData(block.data(), 0, &type);
    EXPECT_EQ(type, REG_DWORD);
    DWORD value = 0;
    std::memcpy(&value, data, sizeof value);
    EXPECT_EQ(value, 7u);
}

TEST_F(LabRegistryTest, SeveralValuesInOneRead) {
    Load("server S\n"
         "dword S ProductControl One 1\n"
         "string S ProductControl Two two\n");
    std::vector<uint8_t> block(product::kListBlockSize, 0);
    std::memcpy(block.data(), "One\0Two\0", 9);
    uint32_t count = 2;
    ASSERT_EQ(lib_.ReadServerValues("S", "ProductControl", block.data(), 0, &count), 0u);
    uint16_t type = 0;
    uint8_t* second = lib_.GetValueBlockData(block.data(), 1, &type);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(reinterpret_cast<char*>(second), "two");
}

TEST_F(LabRegistryTest, MissingKeysValuesAndFailingReads) {
    Load("server S\n"
         "server F\n"
         "dword S ProductControl There 1\n"
         "dword F ProductControl Secret 1\n"
         "dword F ProductControl Open 2\n"
         "fail F read secret 0x20000023\n");
    std::vector<uint8_t> block;
    // Nothing published under a name reads as an empty value, not as a failure.
    for (const char* key : {"ProductControl", "NoSuchKey"}) {
        SCOPED_TRACE(key);
        ASSERT_EQ(Read("S", key, key == std::string("NoSuchKey") ? "There" : "Absent", &block), 0u);
        uint16_t type = 0xFFFF;
        lib_.GetValueBlockData(block.data(), 0, &type);
        EXPECT_EQ(type, REG_NONE);
        EXPECT_EQ(block[0] | block[1] << 8, 0);
    }
    EXPECT_EQ(Read("F", "ProductControl", "Secret", &block), product::kCommLost);
    EXPECT_EQ(Read("F", "ProductControl", "Open", &block), 0u);
}

// A value larger than the block is clipped so that length, data and type fit;
// nothing is written past the capacity.
TEST_F(LabRegistryTest, ReplyIsClippedToTheCapacity) {
    std::string big(300, 'x');
    ASSERT_NO_FATAL_FAILURE(Load(("server S\nstring S ProductControl Big " + big).c_str()));
    struct Case {
        uint32_t capacity;
        uint16_t length;
    };
    for (Case c : {Case{128, 124}, Case{0, 301}, Case{5, 1}, Case{4, 0}}) {
        uint32_t size = c.capacity ? c.capacity : product::kListBlockSize;
        std::vector<uint8_t> block(size + 64, 0xEE);  // guard bytes after the capacity
        std::memset(block.data(), 0, size);
        std::memcpy(block.data(), "Big", 4);
        uint32_t count = 1;
        ASSERT_EQ(lib_.ReadServerValues("S", "ProductControl", block.data(), c.capacity, &count),
                  0u)
            << c.capacity;
        EXPECT_EQ(LengthField(block), c.length) << c.capacity;
        uint16_t type = 0;
        lib_.GetValueBlockData(block.data(), 0, &type);
        EXPECT_EQ(type, REG_SZ) << c.capacity;
        for (size_t i = size; i < block.size(); ++i)
            ASSERT_EQ(block[i], 0xEE) << "byte " << i << " written past capacity " << size;
    }
}

TEST_F(LabRegistryTest, LyingLengthChangesOnlyTheLengthField) {
    Load("server L\n"
         "string L ProductControl RoamManagingParentLevel1 A,B\n"
         "lie L 60000\n");
    std::vector<uint8_t> block(product::kSingleBlockSize + 16, 0xEE);
    std::memset(block.data(), 0, product::kSingleBlockSize);
    std::memcpy(block.data(), "RoamManagingParentLevel1", 25);
    uint32_t count = 1;
    ASSERT_EQ(lib_.ReadServerValues("L", "ProductControl", block.data(),
                                    product::kSingleBlockSize, &count),
              0u);
    EXPECT_EQ(LengthField(block), 60000u);
    EXPECT_STREQ(reinterpret_cast<char*>(block.data() + 2), "A,B");
    uint16_t type = 0;
    EXPECT_EQ(lib_.GetValueBlockData(block.data(), 0, &type), block.data() + 2);
    EXPECT_EQ(type, REG_SZ);
    EXPECT_EQ(block[product::kSingleBlockSize], 0xEE);
}

TEST_F(LabRegistryTest, WriteStoresEveryValueOfTheBlock) {
    Load("server S\n");
    uint8_t block[product::kListBlockSize] = {};
    uint32_t used = 0;
    const char list[] = "A,B";
    const char local[] = "X>Y";
    ASSERT_EQ(lib_.AddValueToBlock(block, "RoamManagingParentLevel1", REG_SZ, sizeof list, list,
                                   &used),
              0u);
    EXPECT_EQ(used, product::WriteEntrySize(24, sizeof list));
    ASSERT_EQ(lib_.AddValueToBlock(block, "RoamManagingParentLevel0", REG_SZ, sizeof local,
                                   local, &used),
              0u);
    // The import passes a count of one for two values.
    ASSERT_EQ(lib_.WriteServerValues("S", "ProductControl", 1, block, used), 0u);
    EXPECT_EQ(lab::ReadString("S", "ProductControl", "RoamManagingParentLevel1"), "A,B");
    EXPECT_EQ(lab::ReadString("S", "ProductControl", "RoamManagingParentLevel0"), "X>Y");
}

TEST_F(LabRegistryTest, DeletesAndFailingWrites) {
    Load("server S\n"
         "server RO\n"
         "dword S Clients\\me_::_01 good 1\n"
         "dword S Clients\\me_::_01\\deeper x 1\n"
         "dword S ProductControl Old 1\n"
         "dword RO ProductControl Old 1\n"
         "fail RO write 5\n");
    EXPECT_EQ(lib_.DeleteServerValue("S", "ProductControl", "Old"), 0u);
    EXPECT_FALSE(lab::ValueExists("S", "ProductControl", "Old"));
    EXPECT_EQ(lib_.DeleteServerValue("S", "ProductControl", "Old"), product::kNotFound);
    EXPECT_EQ(lib_.DeleteServerValue("S", "NoKey", "Old"), product::kNotFound);

    EXPECT_EQ(lib_.DeleteServerKey("S", "Clients\\me_::_01"), 0u);
    EXPECT_FALSE(lab::KeyExists("S", "Clients\\me_::_01"));
    EXPECT_TRUE(lab::KeyExists("S", "Clients"));
    EXPECT_EQ(lib_.DeleteServerKey("S", "Clients\\me_::_01"), product::kNotFound);
    EXPECT_NE(lib_.DeleteServerKey("S", ""), 0u);  // never the whole product root
    EXPECT_TRUE(lab::KeyExists("S", "ProductControl"));

    uint8_t block[product::kSingleBlockSize] = {};
    uint32_t used = 0;
    DWORD zero = 0;
    lib_.AddValueToBlock(block, "good", REG_DWORD, 4, &zero, &used);
    EXPECT_EQ(lib_.WriteServerValues("RO", "ProductControl", 1, block, used), 5u);
    EXPECT_EQ(lib_.DeleteServerValue("RO", "ProductControl", "Old"), 5u);
    EXPECT_EQ(lib_.DeleteServerKey("RO", "ProductControl"), 5u);
    EXPECT_TRUE(lab::ValueExists("RO", "ProductControl", "Old"));
    EXPECT_FALSE(lab::ValueExists("RO", "ProductControl", "good"));
}

// Walks a key the way the program does, one batch at a time; between the
// batches, walk (fully) another key of the same server.
std::vector<std::string> ListSubKeys(const LabLibrary& lib, const char* server,
                                     const char* keyPath, int* calls,
                                     const std::function<void()>& between = {}) {
    std::vector<std::string> names;
    char listing[product::kListingSize];
    uint32_t more = 1;
    while (more) {
        uint32_t count = 0;
        product::Status status =
            lib.EnumServerSubKeys(server, keyPath, listing, sizeof listing, &more, &count);
        ++*calls;
        if (status) {
            names.push_back("status " + std::to_string(status));
            break;
        }
        const char* name = listing;
        for (uint32_t i = 0; i < count; ++i) {
            names.emplace_back(name);
            name += std::strlen(name) + 1;
        }
        if (between) between();
    }
    return names;
}

TEST_F(LabRegistryTest, SubKeysComeInBatchesAndNestedWalksDoNotDisturbThem) {
    std::string description = "server S\n";
    std::set<std::string> expected;
    for (int i = 0; i < 120; ++i) {
        std::string name = "Client_" + std::to_string(1000 + i) + "_with_a_longer_name";
        expected.insert(name);
        description += "key S Clients\\" + name + "\n";
    }
    description += "key S Other\\a\nkey S Other\\b\n";
    Load(description.c_str());

    int calls = 0, nestedCalls = 0;
    std::vector<std::string> nested;
    std::vector<std::string> names = ListSubKeys(lib_, "S", "Clients", &calls, [&] {
        nested = ListSubKeys(lib_, "S", "Other", &nestedCalls);
    });
    EXPECT_GE(calls, 4);
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()), expected);
    EXPECT_EQ(names.size(), expected.size()) << "a name came twice";
    EXPECT_EQ(nested, (std::vector<std::string>{"a", "b"}));

    // A finished walk starts again from the first name.
    int again = 0;
    EXPECT_EQ(ListSubKeys(lib_, "S", "Clients", &again).size(), expected.size());
    EXPECT_EQ(ListSubKeys(lib_, "S", "Missing", &again),
              (std::vector<std::string>{"status 2"}));

    // A listing too small for even one name ends the walk instead of asking
    // for the same name forever.
    char tiny[8];
    uint32_t more = 1, count = 1;
    EXPECT_EQ(lib_.EnumServerSubKeys("S", "Clients", tiny, sizeof tiny, &more, &count),
              static_cast<product::Status>(ERROR_MORE_DATA));
    EXPECT_EQ(more, 0u);
    EXPECT_EQ(count, 0u);
}

TEST_F(LabRegistryTest, ValuesComeInBatchesOfWholeEntries) {
    std::string description = "server S\n";
    for (int i = 0; i < 60; ++i)
        description += "string S Q v" + std::to_string(i) + " value-number-" + std::to_string(i) +
                       "-padded-to-make-it-long\n";
    description += "binary S Q huge " + std::string(2000 * 2, 'a') + "\n";
    Load(description.c_str());

    std::set<std::string> seen;
    char listing[product::kListingSize];
    uint32_t more = 1;
    int calls = 0;
    while (more && calls < 50) {
        uint32_t count = 0;
        ASSERT_EQ(lib_.EnumServerValues("S", "Q", listing, sizeof listing, &more, &count), 0u);
        ++calls;
        const char* cursor = listing;
        for (uint32_t i = 0; i < count; ++i) {
            char name[product::kEntryNameSize];
            uint8_t data[product::kEntryDataSize];
            uint32_t type = 0, size = sizeof data;
            const char* next = lib_.UnpackValueEntry(cursor, name, &type, data, &size);
            ASSERT_LE(next - listing, static_cast<ptrdiff_t>(sizeof listing));
            std::string value(name);
            EXPECT_TRUE(seen.insert(value).second) << value << " came twice";
            if (value == "huge") {
                EXPECT_EQ(type, REG_BINARY);
                EXPECT_EQ(size, product::kEntryDataSize);  // bounded by the caller's buffer
            } else {
                EXPECT_EQ(type, REG_SZ);
                EXPECT_EQ(std::string(reinterpret_cast<char*>(data)),
                          "value-number-" + value.substr(1) + "-padded-to-make-it-long");
            }
            cursor = next;
        }
    }
    EXPECT_EQ(more, 0u);
    EXPECT_GE(calls, 3);
    EXPECT_EQ(seen.size(), 61u);
}

TEST_F(LabRegistryTest, GetDwordValueReadsOnlyFourByteDwords) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, "Software\\PerchmanLabTest", 0, nullptr, 0,
                              KEY_ALL_ACCESS, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    DWORD seven = 7;
    RegSetValueExA(key, "Dword", 0, REG_DWORD, reinterpret_cast<BYTE*>(&seven), 4);
    RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>("7"), 2);
    RegSetValueExA(key, "Short", 0, REG_BINARY, reinterpret_cast<BYTE*>(&seven), 2);
    EXPECT_EQ(lib_.GetDwordValue(key, "Dword", 99), 7u);
    EXPECT_EQ(lib_.GetDwordValue(key, "Text", 99), 99u);
    EXPECT_EQ(lib_.GetDwordValue(key, "Short", 99), 99u);
    EXPECT_EQ(lib_.GetDwordValue(key, "Absent", 99), 99u);
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_CURRENT_USER, "Software\\PerchmanLabTest");
}

}  // namespace
