#include <gtest/gtest.h>

#include <windows.h>

#include <cstdio>
#include <optional>
#include <string>

#include "common/handles.h"
#include "lists/import.h"
#include "lists_fake_servers.h"

using listsfake::CaptureOutput;
using listsfake::Msg;
using listsfake::Servers;
using listsfake::Writes;

namespace {


NormalisedLine Normalise(std::string_view raw) {
    NormalisedLine line;
    line.Reset();
    for (char c : raw) line.Add(static_cast<unsigned char>(c));
    return line;
}

std::optional<std::string> LocalValue(const char* name, DWORD* type = nullptr) {
    RegKey key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kControl, 0, KEY_READ, key.put())) return std::nullopt;
    char data[4096];
    DWORD size = sizeof data;
    DWORD valueType = 0;
    if (RegQueryValueExA(key.get(), name, nullptr, &valueType, reinterpret_cast<BYTE*>(data),
                         &size))
        return std::nullopt;
    if (type) *type = valueType;
    return std::string(data, size);  // with the terminator, as stored
}

void SetLocalValue(const char* name, const std::string& text) {
    RegKey key;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, kControl, 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, key.put(), nullptr),
              ERROR_SUCCESS);
    RegSetValueExA(key.get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>(text.size() + 1));
}


std::string TempPath(const char* leaf) {
    char directory[MAX_PATH];
    GetTempPathA(sizeof directory, directory);
    return std::string(directory) + leaf;
}

std::string WriteFile(const char* leaf, const std::string& bytes) {
    std::string path = TempPath(leaf);
    StdioFile file(std::fopen(path.c_str(), "wb"));
    std::fwrite(bytes.data(), 1, bytes.size(), file.get());
    return path;
}

class ImportTest : public ::testing::Test {
protected:
    void SetUp() override { RemoveLocalLists(); }
    void TearDown() override { RemoveLocalLists(); }

    std::string ImportText(const std::string& bytes) {
        std::string path = WriteFile("perchman_import_test.txt", bytes);
        std::string out = CaptureOutput([&] { Import(path.c_str()); });
        DeleteFileA(path.c_str());
        return out;
    }

    listsfake::FakeLibrary fake_;
};

// ---- One line: normalisation, the four fields, the list ----------------------

struct ParseCase {
    const char* name;
    std::string raw;
    ImportLineKind kind;
    const char* machine = "";
    const char* valueName = "";
    const char* list = "";
    bool isDelete = false;
};

std::string Name(size_t length, char fill = 'n') { return std::string(length, fill); }

// A list of exactly `length` characters: 47-character names joined by commas.
std::string ListOfLength(size_t length) {
    std::string list;
    while (list.size() < length) {
        if (!list.empty()) list += ',';
        list += Name(std::min<size_t>(47, length - list.size()), 'a' + (list.size() % 26));
    }
    return list;
}

class ParseLineTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseLineTest, GivesKindFieldsAndCompactList) {
    const ParseCase& c = GetParam();
    ImportEntry entry{};
    ImportLineKind kind = ParseImportLine(Normalise(c.raw), entry);
    ASSERT_EQ(static_cast<int>(kind), static_cast<int>(c.kind));
    if (kind != ImportLineKind::Entry) return;
    EXPECT_STREQ(entry.machine, c.machine);
    EXPECT_STREQ(entry.valueName, c.valueName);
    EXPECT_STREQ(entry.list, c.list);
    EXPECT_EQ(entry.isDelete, c.isDelete);
}

const std::string kList1023 = ListOfLength(1023);

INSTANTIATE_TEST_SUITE_P(
    Normalisation, ParseLineTest,
    ::testing::Values(
        ParseCase{"BlanksTabsAndCase", "  <LOCAL>\tparent  0   srvA , srvB>srvC",
                  ImportLineKind::Entry, "<LOCAL>", "RoamManagingparentLevel0",
                  "srvA,srvB>srvC"},
        ParseCase{"TabsOnlyBetweenFields", "SRV1\t\tQuarantine\t1\t A(500)= B ",
                  ImportLineKind::Entry, "SRV1", "RoamManagingQuarantineLevel1",
                  "A(500)=B"},
        ParseCase{"BlankInsideANameStays", "<local> HPD 2 my server , b",
                  ImportLineKind::Entry, "<local>", "RoamManagingHPDLevel2", "my server,b"},
        ParseCase{"LevelNotANumber", "<local> Parent x srvA", ImportLineKind::Entry,
                  "<local>", "RoamManagingParentLevelx", "srvA"},
        ParseCase{"LeadingRunOfHundredThousandBlanks",
                  std::string(100000, ' ') + "<local> KPZ 0 k1", ImportLineKind::Entry,
                  "<local>", "RoamManagingKPZLevel0", "k1"},
        ParseCase{"ListOf1023", "<local> Alerts 0 " + kList1023, ImportLineKind::Entry,
                  "<local>", "RoamManagingAlertsLevel0", kList1023.c_str()}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Deletes, ParseLineTest,
    ::testing::Values(
        ParseCase{"HashAlone", "<local> Parent 0 #", ImportLineKind::Entry, "<local>",
                  "RoamManagingParentLevel0", "", true},
        ParseCase{"HashAndBlank", "SRV Quarantine 1 # ", ImportLineKind::Entry, "SRV",
                  "RoamManagingQuarantineLevel1", "", true},
        ParseCase{"ListCommentedOut", "<local> Parent 0 # a , b", ImportLineKind::Entry,
                  "<local>", "RoamManagingParentLevel0", "a,b", true},
        ParseCase{"CommentedOutListMustBeValid", "<local> Parent 0 #a,",
                  ImportLineKind::Malformed}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Ignored, ParseLineTest,
    ::testing::Values(ParseCase{"Empty", "", ImportLineKind::Ignored},
                      ParseCase{"BlanksAndTabs", " \t \t ", ImportLineKind::Ignored},
                      ParseCase{"Comment", "# <local> Parent 0", ImportLineKind::Ignored},
                      ParseCase{"IndentedComment", "\t  # SRV Parent 1 A",
                                ImportLineKind::Ignored},
                      ParseCase{"ControlBytesInAComment", std::string("#\x01\x02\0x", 5),
                                ImportLineKind::Ignored},
                      ParseCase{"LongComment", "#" + std::string(100000, 'c'),
                                ImportLineKind::Ignored}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    Malformed, ParseLineTest,
    ::testing::Values(
        ParseCase{"ThreeFields", "<local> Parent 0", ImportLineKind::Malformed},
        ParseCase{"NothingAfterLastBlank", "<local> Parent 0 ", ImportLineKind::Malformed},
        ParseCase{"OneField", "<local>", ImportLineKind::Malformed},
        ParseCase{"TrailingComma", "<local> Parent 0 a,b,", ImportLineKind::Malformed},
        ParseCase{"TwoCommas", "<local> Parent 0 a,,b", ImportLineKind::Malformed},
        ParseCase{"SeparatorFirst", "<local> Parent 0 >a", ImportLineKind::Malformed},
        ParseCase{"BlankName", "<local> Parent 0 a, ,b", ImportLineKind::Malformed},
        ParseCase{"SeparatorsOnly", "<local> Parent 0 ,>=", ImportLineKind::Malformed},
        ParseCase{"NameOf48", "<local> Parent 0 a," + Name(48), ImportLineKind::Malformed},
        ParseCase{"RoleWithExtraLetter", "<local> Parents 0 a", ImportLineKind::Malformed},
        ParseCase{"UnknownRole", "<local> Server 0 a", ImportLineKind::Malformed},
        ParseCase{"ListOf1024", "<local> Parent 0 " + ListOfLength(1024),
                  ImportLineKind::Malformed},
        ParseCase{"HundredThousandCharacters", "<local> Parent 0 " + std::string(100000, 'x'),
                  ImportLineKind::Malformed},
        ParseCase{"NulByte", std::string("<local> Parent 0 a\0b", 20),
                  ImportLineKind::Malformed},
        ParseCase{"NulFirst", std::string("\0<local> Parent 0 a", 19),
                  ImportLineKind::Malformed},
        ParseCase{"ControlByte", "<local> Parent 0 a\x07", ImportLineKind::Malformed},
        ParseCase{"CarriageReturnInside", "<local> Parent 0 a\rb", ImportLineKind::Malformed},
        ParseCase{"DelByte", "<local> Parent 0 a\x7f", ImportLineKind::Malformed}),
    [](const auto& info) { return info.param.name; });

TEST(ParseLine, NamesOf47AreKeptWhole) {
    ImportEntry entry{};
    std::string list = Name(47, 'p') + ">" + Name(47, 'q');
    ASSERT_EQ(ParseImportLine(Normalise("<local> WDR 0 " + list), entry),
              ImportLineKind::Entry);
    EXPECT_EQ(entry.list, list);
}

// ---- The file: line ends, line numbers, bad bytes ------------------------------

TEST_F(ImportTest, CrLfLineEndsDoNotReachValuesAndLinesAreCountedAsInTheFile) {
    std::string out = ImportText(
        "<local> Parent 0 a,b\r\n"
        "\r\n"
        "<local> Parent 1\r\n"
        "<local> HPD 0 h\r\n"
        "<local> KPZ 0 k");
    EXPECT_EQ(LocalValue("RoamManagingParentLevel0"), std::string("a,b", 4));
    EXPECT_EQ(LocalValue("RoamManagingHPDLevel0"), std::string("h", 2));
    EXPECT_EQ(LocalValue("RoamManagingKPZLevel0"), std::string("k", 2));
    EXPECT_EQ(out, Msg(64, "RoamManagingParentLevel0", "a,b") + Msg(144, 3) +
                       Msg(64, "RoamManagingHPDLevel0", "h") +
                       Msg(64, "RoamManagingKPZLevel0", "k"));
}

// A byte-order mark opens a file saved as UTF-8; only there is it skipped.
TEST_F(ImportTest, AByteOrderMarkOpensTheFileAndIsNoPartOfItsFirstLine) {
    const std::string mark = "\xEF\xBB\xBF";
    // Further down the same bytes belong to the line: its machine is no "<local>".
    std::string out = ImportText(mark + "<local> Parent 0 a,b\r\n" + mark + "<local> HPD 0 h\r\n");
    EXPECT_EQ(out.rfind(Msg(64, "RoamManagingParentLevel0", "a,b"), 0), 0u) << out;
    EXPECT_EQ(LocalValue("RoamManagingParentLevel0"), std::string("a,b", 4));
    EXPECT_FALSE(LocalValue("RoamManagingHPDLevel0"));
    EXPECT_EQ(ImportText(mark), "");
    EXPECT_EQ(ImportText(mark + "\x1a<local> WDR 0 w\r\n"), "");
    EXPECT_FALSE(LocalValue("RoamManagingWDRLevel0"));
}

TEST_F(ImportTest, LongLineIsOneMalformedLineAndNoPieceOfItIsApplied) {
    // Pieces of 1023 characters would each look like an entry of its own.
    std::string piece = "<local> WDR 0 w";
    std::string longLine = "<local> Parent 0 " + std::string(1023 - 17, 'x') + piece +
                           std::string(1023 - piece.size(), ' ') + piece;
    std::string out = ImportText("# first\n" + longLine + "\n<local> HPD 0 h\n");
    EXPECT_FALSE(LocalValue("RoamManagingParentLevel0"));
    EXPECT_FALSE(LocalValue("RoamManagingWDRLevel0"));
    EXPECT_EQ(out, Msg(144, 2) + Msg(64, "RoamManagingHPDLevel0", "h"));
}

TEST_F(ImportTest, BinaryBytesGiveMalformedLinesAndNothingElse) {
    std::string binary;
    // Every byte but Ctrl-Z, which would end the file.
    for (int i = 0; i < 256; ++i)
        if (static_cast<char>(i * 7) != '\x1a') binary += static_cast<char>(i * 7);
    std::string out = ImportText(std::string("<local> Parent 0 a\0\n", 20) + binary + "\n" +
                                 std::string("\0\0\0\n", 4) + "<local> HPD 0 h\n");
    EXPECT_FALSE(LocalValue("RoamManagingParentLevel0"));
    EXPECT_EQ(LocalValue("RoamManagingHPDLevel0"), std::string("h", 2));
    // The binary holds one LF (byte 38), so it makes lines 2 and 3; both hold
    // control bytes. Lines 1 to 4 are refused with their numbers.
    std::string expected;
    for (int line = 1; line <= 4; ++line) expected += Msg(144, line);
    expected += Msg(64, "RoamManagingHPDLevel0", "h");
    EXPECT_EQ(out, expected);
}

// The first Ctrl-Z ends the file, wherever it stands; what follows it, also
// beyond the first block read, is not imported.
TEST_F(ImportTest, EmptyFileAndEndOfFileMarkChangeNothing) {
    EXPECT_EQ(ImportText(""), "");
    const std::string setHpd = Msg(64, "RoamManagingHPDLevel0", "h");
    for (const std::string& text :
         {std::string("<local> HPD 0 h\r\n\x1a"), std::string("<local> HPD 0 h\x1a"),
          std::string("<local> HPD 0 h\x1a<local> WDR 0 w\r\n<local> KPZ 0 k\r\n"),
          "<local> HPD 0 h\r\n\x1a" + std::string(20000, 'x') + "\r\n<local> WDR 0 w\r\n"}) {
        EXPECT_EQ(ImportText(text), setHpd);
        EXPECT_EQ(LocalValue("RoamManagingHPDLevel0"), std::string("h", 2));
    }
    EXPECT_FALSE(LocalValue("RoamManagingWDRLevel0"));
    EXPECT_FALSE(LocalValue("RoamManagingKPZLevel0"));
    EXPECT_EQ(ImportText("\x1a<local> WDR 0 w\r\n"), "");
    EXPECT_FALSE(LocalValue("RoamManagingWDRLevel0"));
}

TEST_F(ImportTest, FileThatCannotBeOpenedGivesMessage71WithTheSystemError) {
    std::string out =
        CaptureOutput([] { Import("Z:\\no such directory\\no such file.txt"); });
    std::string head = Msg(71) + " - " + Msg(2) + " (3) ";
    EXPECT_EQ(out.substr(0, head.size()), head) << out;
    EXPECT_TRUE(Writes.empty());
}

// ---- Applying lines locally ------------------------------------------------------

TEST_F(ImportTest, LocalLineSetsRegSzWithItsTerminator) {
    std::string out = ImportText("<local> Parent 0 srvA , srvB>srvC\n");
    DWORD type = 0;
    EXPECT_EQ(LocalValue("RoamManagingParentLevel0", &type),
              std::string("srvA,srvB>srvC", 15));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(out, Msg(64, "RoamManagingParentLevel0", "srvA,srvB>srvC"));
}

TEST_F(ImportTest, LocalDeleteOfPresentAndAbsentValue) {
    SetLocalValue("RoamManagingParentLevel0", "old");
    std::string out = ImportText("<local> Parent 0 #\n<local> Parent 0 #\n");
    EXPECT_FALSE(LocalValue("RoamManagingParentLevel0"));
    // The second delete finds nothing: message 65 through the error path.
    std::string failure = Msg(65) + " - " + Msg(2) + " (2) ";
    ASSERT_GE(out.size(), Msg(65).size() + failure.size());
    EXPECT_EQ(out.substr(0, Msg(65).size() + failure.size()), Msg(65) + failure);
}

// ---- Applying lines to servers ---------------------------------------------------

TEST_F(ImportTest, ServerLineBeforeAnyLocalLineWritesItsOwnValueAlone) {
    Servers["SRV1"];
    std::string out = ImportText("SRV1 Parent 1 a>b\n");
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].server, "SRV1");
    EXPECT_EQ(Writes[0].keyPath, "ProductControl");
    EXPECT_EQ(Writes[0].valueCount, 1u);
    ASSERT_EQ(Writes[0].values.size(), 1u);
    EXPECT_EQ(Writes[0].values[0].first, "RoamManagingParentLevel1");
    EXPECT_EQ(Writes[0].values[0].second, std::string("a>b", 4));
    EXPECT_EQ(out, Msg(67, "SRV1", "RoamManagingParentLevel1", "a>b"));
}

TEST_F(ImportTest, ServerLinesCarryTheLatestLocalSetNotDeletes) {
    Servers["S1"];
    Servers["S2"];
    Servers["S3"];
    ImportText(
        "<local> Parent 0 srvA,srvB\n"
        "S1 Quarantine 1 q\n"
        "<local> Parent 0 #\n"
        "S2 Parent 1 p\n"
        "<local> HPD 0 h1\n"
        "S3 Parent 1 p3\n");
    ASSERT_EQ(Writes.size(), 3u);
    using Values = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(Writes[0].values, (Values{{"RoamManagingQuarantineLevel1", std::string("q", 2)},
                                        {"RoamManagingParentLevel0", std::string("srvA,srvB", 10)}}));
    // The delete leaves the local pair as it was.
    EXPECT_EQ(Writes[1].values, (Values{{"RoamManagingParentLevel1", std::string("p", 2)},
                                        {"RoamManagingParentLevel0", std::string("srvA,srvB", 10)}}));
    EXPECT_EQ(Writes[2].values, (Values{{"RoamManagingParentLevel1", std::string("p3", 3)},
                                        {"RoamManagingHPDLevel0", std::string("h1", 3)}}));
    EXPECT_EQ(Servers["S3"].values["RoamManagingHPDLevel0"], "h1");
}

TEST_F(ImportTest, UnreachableServerIs148ForCommunicationStatusesAnd66Otherwise) {
    const product::Status statuses[] = {0x40000010, 0x20000002, 0x4000000C, 0x20000005,
                                        0x20000023, 0x40000001, ERROR_ACCESS_DENIED};
    std::string file, expected;
    int index = 0;
    for (product::Status status : statuses) {
        char server[16];
        FormatText(server, "S%d", ++index);
        Servers[server].failure = status;
        file += server;
        file += " Alerts 1 a\n";
        unsigned id = index <= 5 ? 148 : 66;
        expected += Msg(id, server, "RoamManagingAlertsLevel1", status);
    }
    EXPECT_EQ(ImportText(file), expected);
}

TEST_F(ImportTest, ValuesThatDoNotFitOneBlockAreNotSent) {
    Servers["S1"];
    // Own value alone: name 24 + 1, type and size 8, list + 1; the block keeps
    // one zero byte after it. 949 characters fill it exactly.
    std::string fits = ListOfLength(949);
    std::string tooLong = ListOfLength(950);
    std::string out = ImportText("S1 Parent 1 " + fits + "\nS1 Parent 1 " + tooLong + "\n");
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].values[0].second, fits + '\0');
    EXPECT_EQ(out, Msg(67, "S1", "RoamManagingParentLevel1", fits.c_str()) +
                       Msg(66, "S1", "RoamManagingParentLevel1", kValuesDoNotFit));

    // A long local pair takes the room of a short line; the next line that
    // fits is sent again.
    Writes.clear();
    out = ImportText("<local> Parent 0 " + ListOfLength(900) + "\nS1 HPD 1 " +
                     ListOfLength(100) + "\n<local> Parent 0 p\nS1 HPD 1 " +
                     ListOfLength(100) + "\n");
    ASSERT_EQ(Writes.size(), 1u);
    EXPECT_EQ(Writes[0].values.size(), 2u);
    EXPECT_NE(out.find(Msg(66, "S1", "RoamManagingHPDLevel1", kValuesDoNotFit)),
              std::string::npos);
}

TEST_F(ImportTest, MissingLibraryOperationsAreReportedNotCalled) {
    Product = ProductLibrary{};
    std::string out = ImportText("S1 Parent 1 a\nS1 Parent 1 #\n");
    EXPECT_EQ(out, Msg(66, "S1", "RoamManagingParentLevel1", 0x20000000u) +
                       Msg(69, "S1", "RoamManagingParentLevel1", 0x20000000u));
}

}  // namespace
