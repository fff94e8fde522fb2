#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "engine/network_change.h"
#include "engine_fakes.h"

namespace {

using engine_test::SavedTables;
using engine_test::ScratchKey;

// ---- A host lookup that gives the addresses a test chooses ----------------------------

struct FakeHost {
    bool found = true;
    short type = AF_INET;
    std::vector<std::vector<uint8_t>> addresses;
};
FakeHost Host;

hostent Entry;
std::vector<std::vector<uint8_t>> Storage;
std::vector<char*> Pointers;
char OfficialName[] = "labhost";

int WINAPI FakeGetHostName(char* name, int length) {
    std::strncpy(name, "labhost", static_cast<size_t>(length));
    return 0;
}

hostent* WINAPI FakeGetHostByName(const char*) {
    if (!Host.found) return nullptr;
    Storage = Host.addresses;
    Pointers.clear();
    for (auto& a : Storage) Pointers.push_back(reinterpret_cast<char*>(a.data()));
    Pointers.push_back(nullptr);
    Entry = {};
    Entry.h_name = OfficialName;
    Entry.h_addrtype = Host.type;
    Entry.h_length = 4;
    Entry.h_addr_list = Pointers.data();
    return &Entry;
}

std::vector<uint8_t> Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d) { return {a, b, c, d}; }

class Addresses : public ::testing::Test {
protected:
    void SetUp() override {
        Host = FakeHost{};
        Winsock.gethostname = FakeGetHostName;
        Winsock.gethostbyname = FakeGetHostByName;
        WinsockReady = 1;
    }
    void TearDown() override {
        FreeAddressSnapshot(previous_);
        FreeAddressSnapshot(current_);
    }
    int Take(std::vector<std::vector<uint8_t>> addresses) {
        Host.addresses = std::move(addresses);
        return TakeAddressSnapshot(previous_, current_);
    }
    static std::string Bytes(const AddressSnapshot* s) {
        return s ? std::string(reinterpret_cast<const char*>(s->bytes), s->size) : "<none>";
    }

    SavedTables saved_;
    AddressSnapshot* previous_ = nullptr;
    AddressSnapshot* current_ = nullptr;
};

TEST_F(Addresses, SnapshotsReportChangesOfCountOrderAndValue) {
    EXPECT_EQ(Take({Ip(10, 0, 0, 5)}), 0) << "nothing to compare with";
    EXPECT_EQ(Bytes(current_), std::string("\x0a\x00\x00\x05", 4));
    EXPECT_EQ(Take({Ip(10, 0, 0, 5)}), 1);
    EXPECT_EQ(Take({Ip(10, 0, 0, 5), Ip(192, 168, 1, 2)}), 0);
    EXPECT_EQ(current_->size, 8u);
    EXPECT_EQ(Take({Ip(10, 0, 0, 5), Ip(192, 168, 1, 2)}), 1);
    EXPECT_EQ(Take({Ip(192, 168, 1, 2), Ip(10, 0, 0, 5)}), 0) << "another order";
    EXPECT_EQ(Take({Ip(192, 168, 1, 3), Ip(10, 0, 0, 5)}), 0) << "another address";
}

TEST_F(Addresses, LoopbackOnlyIsAChangeAndLeavesNoSnapshot) {
    EXPECT_EQ(Take({Ip(10, 0, 0, 5)}), 0);
    for (auto loopback : {Ip(127, 0, 0, 1), Ip(127, 0, 0, 0)}) {
        EXPECT_EQ(Take({loopback}), 0);
        EXPECT_EQ(current_, nullptr);
    }
    // Back on the network: a change, since nothing was kept meanwhile.
    EXPECT_EQ(Take({Ip(10, 0, 0, 5)}), 0);
    // 127.0.0.2, or loopback beside a real address, is not loopback-only.
    EXPECT_EQ(Take({Ip(127, 0, 0, 2)}), 0);
    EXPECT_EQ(Bytes(current_), std::string("\x7f\x00\x00\x02", 4));
    EXPECT_EQ(Take({Ip(127, 0, 0, 1), Ip(10, 0, 0, 5)}), 0);
    EXPECT_EQ(current_->size, 8u);
}

TEST_F(Addresses, NoLookupMeansNoChange) {
    EXPECT_EQ(Take({Ip(10, 0, 0, 5)}), 0);
    Host.found = false;
    EXPECT_EQ(TakeAddressSnapshot(previous_, current_), 1);
    EXPECT_EQ(current_, nullptr);
    EXPECT_EQ(Bytes(previous_), std::string("\x0a\x00\x00\x05", 4));
    WinsockReady = 0;
    Host.found = true;
    EXPECT_EQ(TakeAddressSnapshot(previous_, current_), 1);
    EXPECT_EQ(current_, nullptr);
}

TEST_F(Addresses, TooManyAddressesKeepTheFirstOnes) {
    std::vector<std::vector<uint8_t>> many;
    for (int i = 0; i < 300; ++i) many.push_back(Ip(10, 1, static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)));
    EXPECT_EQ(Take(many), 0);
    ASSERT_NE(current_, nullptr);
    EXPECT_EQ(current_->size, kMaxSnapshotBytes);
}

// ---- LastNetAddress --------------------------------------------------------------

TEST(LastNetAddress, RoundTripsAndRefusesWrongTypeOrSize) {
    ScratchKey key("LastNetAddress");
    EXPECT_EQ(ReadLastNetAddress(key.get()), nullptr);
    EXPECT_EQ(ReadLastNetAddress(nullptr), nullptr);

    AddressSnapshot written;
    written.size = 8;
    std::memcpy(written.bytes, "\x0a\x00\x00\x05\xc0\xa8\x01\x02", 8);
    ASSERT_EQ(WriteLastNetAddress(key.get(), &written), ERROR_SUCCESS);
    AddressSnapshot* read = ReadLastNetAddress(key.get());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(read->bytes), read->size),
              std::string("\x0a\x00\x00\x05\xc0\xa8\x01\x02", 8));
    FreeAddressSnapshot(read);
    EXPECT_EQ(read, nullptr);

    // Nothing to store: the value stays as it was.
    EXPECT_EQ(WriteLastNetAddress(key.get(), nullptr), ERROR_SUCCESS);
    read = ReadLastNetAddress(key.get());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->size, 8u);
    FreeAddressSnapshot(read);

    key.SetRaw("LastNetAddress", REG_BINARY, std::string(kMaxSnapshotBytes, 'a'));
    read = ReadLastNetAddress(key.get());
    ASSERT_NE(read, nullptr);
    EXPECT_EQ(read->size, kMaxSnapshotBytes);
    FreeAddressSnapshot(read);

    key.SetRaw("LastNetAddress", REG_BINARY, std::string(kMaxSnapshotBytes + 1, 'a'));
    EXPECT_EQ(ReadLastNetAddress(key.get()), nullptr) << "larger than any snapshot";
    key.SetRaw("LastNetAddress", REG_BINARY, std::string(1 << 20, 'a'));
    EXPECT_EQ(ReadLastNetAddress(key.get()), nullptr) << "absurd size";
    key.SetRaw("LastNetAddress", REG_SZ, std::string("10.0.0.5\0", 9));
    EXPECT_EQ(ReadLastNetAddress(key.get()), nullptr) << "another type";
    key.SetDword("LastNetAddress", 5);
    EXPECT_EQ(ReadLastNetAddress(key.get()), nullptr) << "another type";
}

// ---- Connection state -----------------------------------------------------------

BOOL PlainResult;
BOOL ExtendedResult;
BOOL WINAPI FakePlain(LPDWORD flags, DWORD) {
    *flags = 0x10;
    return PlainResult;
}
BOOL WINAPI FakeExtended(LPDWORD flags, LPSTR name, DWORD size, DWORD) {
    *flags = 0x10;
    std::strncpy(name, "LAN", size);
    return ExtendedResult;
}

TEST(Connection, EitherQueryReportsTheNetwork) {
    SavedTables saved;
    Host = FakeHost{};
    Host.addresses = {Ip(10, 0, 0, 5)};
    Winsock.gethostname = FakeGetHostName;
    Winsock.gethostbyname = FakeGetHostByName;
    WinsockReady = 1;
    struct Case {
        bool plainBound, extendedBound;
        BOOL plain, extended;
        int expected;
    } cases[] = {
        {false, false, TRUE, TRUE, 0}, {true, true, FALSE, FALSE, 0},
        {true, true, TRUE, FALSE, 1},  {true, true, FALSE, TRUE, 1},
        {true, false, TRUE, TRUE, 1},  {false, true, TRUE, TRUE, 1},
        {false, true, TRUE, FALSE, 0},
    };
    for (const Case& c : cases) {
        PlainResult = c.plain;
        ExtendedResult = c.extended;
        WinInet.InternetGetConnectedState = c.plainBound ? FakePlain : nullptr;
        WinInet.InternetGetConnectedStateEx = c.extendedBound ? FakeExtended : nullptr;
        EXPECT_EQ(CheckOnDialUpNetwork() != 0, c.expected != 0)
            << c.plainBound << c.extendedBound << c.plain << c.extended;
        EXPECT_EQ(RequireNetwork(1) != 0, c.expected != 0);
    }
    // Without Winsock the answer is the same: only the trace needs the lookup.
    WinsockReady = 0;
    PlainResult = TRUE;
    WinInet.InternetGetConnectedState = FakePlain;
    EXPECT_NE(CheckOnDialUpNetwork(), 0);
}

// ---- OrxGetComputerName ---------------------------------------------------------------

TEST(ComputerName, FillsWhatIsGivenAndReturnsLengthPlusOne) {
    char expected[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD length = sizeof expected;
    ASSERT_TRUE(GetComputerNameA(expected, &length));
    ASSERT_LT(length, 16u);

    EXPECT_EQ(OrxGetComputerName(nullptr, nullptr), static_cast<int>(length) + 1);

    char nameA[20];
    std::memset(nameA, '#', sizeof nameA);
    wchar_t nameW[20];
    std::fill(std::begin(nameW), std::end(nameW), L'#');
    EXPECT_EQ(OrxGetComputerName(nameA, nameW), static_cast<int>(length) + 1);
    EXPECT_STREQ(nameA, expected);
    for (size_t i = length; i < 16; ++i) EXPECT_EQ(nameA[i], '\0') << i;
    EXPECT_EQ(nameA[16], '#') << "16 bytes only";
    for (size_t i = 0; i < length; ++i) EXPECT_EQ(nameW[i], static_cast<wchar_t>(expected[i]));
    for (size_t i = length; i < 16; ++i) EXPECT_EQ(nameW[i], L'\0') << i;
    EXPECT_EQ(nameW[16], L'#') << "32 bytes only";
}

// A name longer than the 16-byte buffer makes the query fail; the caller is
// still told the length the query reported, plus one, and gets empty names.
TEST(ComputerName, FailedQueryStillReturnsTheReportedLengthPlusOne) {
    constexpr char kActive[] = "System\\CurrentControlSet\\Control\\ComputerName\\ActiveComputerName";
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, kActive, 0, KEY_ALL_ACCESS, &key), ERROR_SUCCESS);
    char saved[256] = {};
    DWORD savedSize = sizeof saved;
    ASSERT_EQ(RegQueryValueExA(key, "ComputerName", nullptr, nullptr,
                               reinterpret_cast<BYTE*>(saved), &savedSize),
              ERROR_SUCCESS);
    const char longName[] = "LABMACHINEWITHALONGNAME";  // 23 characters
    RegSetValueExA(key, "ComputerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(longName),
                   sizeof longName);

    char probe[16] = {};
    DWORD reported = sizeof probe;
    BOOL queried = GetComputerNameA(probe, &reported);
    char nameA[16];
    std::memset(nameA, '#', sizeof nameA);
    int result = OrxGetComputerName(nameA, nullptr);

    RegSetValueExA(key, "ComputerName", 0, REG_SZ, reinterpret_cast<const BYTE*>(saved), savedSize);
    RegCloseKey(key);
    ASSERT_FALSE(queried) << "this system does not refuse a long name";
    EXPECT_EQ(result, static_cast<int>(reported) + 1);
    EXPECT_GT(result, 16);
    for (char c : nameA) EXPECT_EQ(c, '\0');
}

TEST(ComputerName, IsExportedByNameFromTheProgram) {
    const char* path = PERCHMAN_PROGRAMS_DIR "\\src\\perchman.exe";
    HMODULE program = LoadLibraryExA(path, nullptr, DONT_RESOLVE_DLL_REFERENCES);
    ASSERT_NE(program, nullptr) << path << " error " << GetLastError();
    EXPECT_NE(GetProcAddress(program, "OrxGetComputerName"), nullptr);
    FreeLibrary(program);
}

}  // namespace
