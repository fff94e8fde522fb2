// Servers shared by a fleet of prefixes: the stand-in library serves them
// from a folder exactly as it serves them from the prefix's registry, a
// parent publishes its client count after every change to its Clients key,
// and a server failed in the folder fails for every machine.

#include <thread>

#include "lab_fixture.h"
#include "common/lab_layout.h"

namespace {

constexpr char kNetwork[] =
    "server S latency=0 clients=2 pattern=5\n"
    "string S ProductControl RoamManagingParentLevel1 A=B\n"
    "dword S ProductControl Weight 7\n"
    "binary S ClientConfig\\Quarantine Blob \"00 01 02\"\n"
    "oversize S ClientConfig\\Quarantine Big 1500\n"
    "key S ClientConfig\\Quarantine\\Zeta\n"
    "key S ClientConfig\\Quarantine\\alpha\n"
    "key S ClientConfig\\Quarantine\\Mid\n"
    "lab record\n";

class LabSharedServersTest : public LabTest {
protected:
    void TearDown() override {
        LabTest::TearDown();
        RemoveFolder(folder_);
    }

    // The network, with its servers moved into a fresh folder.
    void LoadShared(const char* description = kNetwork) {
        Load(description);
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        folder_ = std::string(temp) + "perchman-shared-" + std::to_string(GetCurrentProcessId());
        RemoveFolder(folder_);
        std::string error;
        ASSERT_TRUE(lab::ShareServers(folder_, &error)) << error;
    }

    static void RemoveFolder(const std::string& folder) {
        if (folder.empty()) return;
        WIN32_FIND_DATAA found;
        HANDLE find = FindFirstFileA((folder + "\\*").c_str(), &found);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::string name = found.cFileName;
                if (name == "." || name == "..") continue;
                std::string path = folder + "\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    RemoveFolder(path);
                else
                    DeleteFileA(path.c_str());
            } while (FindNextFileA(find, &found));
            FindClose(find);
        }
        RemoveDirectoryA(folder.c_str());
    }

    product::Status WriteDword(const char* server, const char* keyPath, const char* name,
                               DWORD value) {
        std::vector<uint8_t> block(product::kSingleBlockSize, 0);
        uint32_t used = 0;
        lib_.AddValueToBlock(block.data(), name, REG_DWORD, sizeof value, &value, &used);
        return lib_.WriteServerValues(server, keyPath, 1, block.data(), used);
    }

    DWORD ClientCount(const char* server) {
        std::vector<uint8_t> block;
        if (Read(server, "ProductControl", "ClientCount", &block, product::kSingleBlockSize))
            return 0xFFFFFFFF;
        DWORD value = 0;
        std::memcpy(&value, block.data() + 2, sizeof value);
        return value;
    }

    // Every entry of a key's listing of subkeys or of values, in batches:
    // take(listing, count) reads each batch.
    template <typename Take>
    product::Status WalkListing(product::EnumServerSubKeysFn list, const char* server,
                                const char* keyPath, Take take) {
        product::Status status = 0;
        for (int call = 0; call < 50; ++call) {
            char listing[product::kListingSize] = {};
            uint32_t more = 0, count = 0;
            status = list(server, keyPath, listing, sizeof listing, &more, &count);
            if (status) break;
            take(listing, count);
            if (!more) break;
        }
        return status;
    }

    std::vector<std::string> SubKeys(const char* server, const char* keyPath,
                                     product::Status* status) {
        std::vector<std::string> names;
        *status = WalkListing(lib_.EnumServerSubKeys, server, keyPath,
                              [&](const char* at, uint32_t count) {
                                  for (uint32_t i = 0; i < count; ++i, at += std::strlen(at) + 1)
                                      names.push_back(at);
                              });
        return names;
    }

    // "name:type:size" of every value of a key.
    std::vector<std::string> Values(const char* server, const char* keyPath,
                                    product::Status* status) {
        std::vector<std::string> values;
        *status = WalkListing(lib_.EnumServerValues, server, keyPath,
                              [&](const char* at, uint32_t count) {
                                  for (uint32_t i = 0; i < count; ++i) {
                                      char name[product::kEntryNameSize];
                                      uint8_t data[product::kEntryDataSize];
                                      uint32_t type = 0, size = sizeof data;
                                      at = lib_.UnpackValueEntry(at, name, &type, data, &size);
                                      values.push_back(std::string(name) + ":" +
                                                       std::to_string(type) + ":" +
                                                       std::to_string(size));
                                  }
                              });
        return values;
    }

    std::string folder_;
};

// What each operation answers, as text, so that the registry's answers and
// the shared folder's can be compared whole.
struct Operation {
    const char* what;
    std::function<std::string()> run;
};

}  // namespace

// Each operation is run against the network in the prefix's registry, then
// against the same network moved into a shared folder: the answers agree.
TEST_F(LabSharedServersTest, AFolderServesWhatTheRegistryServes) {
    auto read = [this](const char* keyPath, const char* name) {
        std::vector<uint8_t> block;
        product::Status status = Read("S", keyPath, name, &block);
        uint16_t length = 0, type = 0;
        std::memcpy(&length, block.data(), sizeof length);
        lib_.GetValueBlockData(block.data(), 0, &type);
        return std::to_string(status) + " len " + std::to_string(length) + " type " +
               std::to_string(type) + " " +
               std::string(reinterpret_cast<char*>(block.data() + 2),
                           status || length > 64 ? 0 : length);
    };
    auto joined = [](const std::vector<std::string>& items, product::Status status) {
        std::string text = std::to_string(status);
        for (const std::string& item : items) text += " " + item;
        return text;
    };
    const std::vector<Operation> operations = {
        {"a list", [&] { return read("ProductControl", "RoamManagingParentLevel1"); }},
        {"a dword", [&] { return read("ProductControl", "weight"); }},
        {"a value never published",
         [&] { return read("ProductControl", "Nothing"); }},
        {"a key never made", [&] { return read("No\\Such\\Key", "Nothing"); }},
        {"a write read back",
         [&] {
             std::string written = std::to_string(WriteDword("S", "New\\Deep", "Fresh", 42));
             return written + read("New\\Deep", "FRESH");
         }},
        {"a name a file cannot carry",
         [&] {
             std::string written =
                 std::to_string(WriteDword("S", "Odd:key*", "a:b?c<d>e|f\"g/h.", 3));
             return written + read("ODD:KEY*", "a:b?c<d>e|f\"g/h.");
         }},
        {"a value deleted",
         [&] {
             std::string deleted =
                 std::to_string(lib_.DeleteServerValue("S", "ProductControl", "Weight"));
             return deleted + read("ProductControl", "Weight");
         }},
        {"a value deleted twice",
         [&] {
             lib_.DeleteServerValue("S", "ProductControl", "Weight");
             return std::to_string(lib_.DeleteServerValue("S", "ProductControl", "Weight"));
         }},
        {"subkeys in order",
         [&] {
             product::Status status = 0;
             auto names = SubKeys("S", "ClientConfig\\Quarantine", &status);
             return joined(names, status);
         }},
        {"values in batches, one larger than a listing",
         [&] {
             product::Status status = 0;
             auto values = Values("S", "ClientConfig\\Quarantine", &status);
             return joined(values, status);
         }},
        {"a listing of a key never made",
         [&] {
             product::Status status = 0;
             auto names = SubKeys("S", "Nowhere", &status);
             return joined(names, status);
         }},
        {"a key deleted with what is below it",
         [&] {
             product::Status deleted = lib_.DeleteServerKey("S", "ClientConfig");
             product::Status status = 0;
             auto names = SubKeys("S", "ClientConfig", &status);
             return std::to_string(deleted) + " " + joined(names, status) + " " +
                    std::to_string(lib_.DeleteServerKey("S", "ClientConfig"));
         }},
    };
    for (const Operation& operation : operations) {
        Load(kNetwork);
        std::string inRegistry = operation.run();
        LoadShared();
        std::string inFolder = operation.run();
        EXPECT_EQ(inFolder, inRegistry) << operation.what;
        lab::ResetNetwork();
        RemoveFolder(folder_);
    }
}

// A parent's published count follows its Clients key, from the count the
// network gave it, through records of machines written and removed, also
// when several write at once.
TEST_F(LabSharedServersTest, AParentPublishesTheRecordsItHolds) {
    LoadShared();
    EXPECT_EQ(ClientCount("S"), 2u);  // the network's clients=2, as records elsewhere
    ASSERT_EQ(WriteDword("S", "Clients\\PC-1_::_00", "good", 1), 0u);
    EXPECT_EQ(ClientCount("S"), 3u);
    ASSERT_EQ(WriteDword("S", "clients\\PC-1_::_00", "good", 0), 0u);  // the same record
    EXPECT_EQ(ClientCount("S"), 3u);
    ASSERT_EQ(lib_.DeleteServerKey("S", "Clients\\PC-1_::_00"), 0u);
    EXPECT_EQ(ClientCount("S"), 2u);

    // While another machine holds the parent's lock, a new record waits to be
    // counted; it is counted once the lock is let go.
    std::string lockPath = folder_ + "\\" + lab::kSharedRegistryFolder + "\\S\\~count.lock";
    HANDLE lock = CreateFileA(lockPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    std::thread waiting([this] { WriteDword("S", "Clients\\PC-9_::_00", "good", 1); });
    Sleep(500);
    EXPECT_EQ(ClientCount("S"), 2u);
    CloseHandle(lock);
    waiting.join();
    EXPECT_EQ(ClientCount("S"), 3u);
    ASSERT_EQ(lib_.DeleteServerKey("S", "Clients\\PC-9_::_00"), 0u);

    std::vector<std::thread> machines;
    for (int i = 0; i < 8; ++i)
        machines.emplace_back([this, i] {
            std::string key = "Clients\\PC-" + std::to_string(i) + "_::_01";
            WriteDword("S", key.c_str(), "good", 1);
        });
    for (std::thread& machine : machines) machine.join();
    EXPECT_EQ(ClientCount("S"), 10u);
}

// A server failed in the folder refuses every call of every machine; the
// call log of the folder gives each call its time and its machine.
TEST_F(LabSharedServersTest, AServerFailedInTheFolderFailsForEveryMachine) {
    LoadShared();
    std::vector<uint8_t> block;
    ASSERT_EQ(Read("S", "", "UsingPattern", &block), 0u);
    std::string marker = folder_ + "\\" + lab::kSharedDownFolder + "\\S";
    CloseHandle(CreateFileA(marker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr));
    EXPECT_EQ(Read("S", "", "UsingPattern", &block), lab::kDefaultDownStatus);
    EXPECT_EQ(WriteDword("S", "Clients\\PC", "good", 1), lab::kDefaultDownStatus);
    DeleteFileA(marker.c_str());
    EXPECT_EQ(Read("S", "", "UsingPattern", &block), 0u);

    char computer[MAX_COMPUTERNAME_LENGTH + 1] = "";
    DWORD size = sizeof computer;
    GetComputerNameA(computer, &size);
    auto log = lab::ReadLocalFile(folder_ + "\\" + lab::kSharedCallsFolder + "\\" + computer +
                                  ".log");
    ASSERT_TRUE(log.has_value());
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    unsigned long long ms =
        (((static_cast<unsigned long long>(now.dwHighDateTime) << 32) | now.dwLowDateTime) -
         116444736000000000ULL) / 10000;
    unsigned long long stamp = std::strtoull(log->c_str(), nullptr, 10);
    EXPECT_LE(stamp, ms);
    EXPECT_GT(stamp + 60000, ms);
    EXPECT_NE(log->find(" ReadServerValues S - UsingPattern\r\n"), std::string::npos) << *log;
    EXPECT_TRUE(lab::CallLogLines().empty());  // nothing in the prefix's own log
}
