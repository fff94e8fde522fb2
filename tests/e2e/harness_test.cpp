// The harness's own pieces whose faults would make other tests lie: argument
// quoting, byte comparison, and the registry helpers.

#include "harness/harness.h"

#include <shellapi.h>

namespace e2e {
namespace {

// The C runtime splits the command line by the same rules as CommandLineToArgvW
// for every argument after the program name.
std::vector<std::string> SplitAsRuntimeDoes(const std::string& commandLine) {
    std::wstring wide(commandLine.begin(), commandLine.end());
    int count = 0;
    LPWSTR* parts = CommandLineToArgvW(wide.c_str(), &count);
    std::vector<std::string> args;
    for (int i = 1; i < count; ++i) {
        std::wstring part = parts[i];
        args.emplace_back(part.begin(), part.end());
    }
    LocalFree(parts);
    return args;
}

TEST(HarnessCommandLine, EveryArgumentComesBackUnchanged) {
    const std::vector<std::string> args = {
        "plain",       "two words",    "",          "say \"hi\"",     "trailing\\",
        "D:\\dir\\",   "C:\\a b\\",    "\\\\\"",    "tab\there",      "a\\\\b",
        "\"",          "\\",           std::string(5000, 'x') + " y"};
    std::string line = BuildCommandLine("C:\\Program Files\\p.exe", args);
    EXPECT_EQ(SplitAsRuntimeDoes(line), args);
}

TEST(HarnessBytes, CrlfTranslatesEveryLineFeed) {
    EXPECT_EQ(Crlf("a\nb\n\n"), "a\r\nb\r\n\r\n");
    EXPECT_EQ(Crlf(""), "");
}

TEST(HarnessBytes, MismatchNamesTheOffsetAndEscapesBothSides) {
    auto result = BytesEqual("expected", "actual", "ab\r\ncd", std::string("ab\r\nc\0", 6));
    ASSERT_FALSE(result);
    std::string message = result.message();
    EXPECT_NE(message.find("at byte 5"), std::string::npos) << message;
    EXPECT_NE(message.find("ab\\r\\nc >>>d"), std::string::npos) << message;
    EXPECT_NE(message.find("ab\\r\\nc >>>\\x00"), std::string::npos) << message;
    EXPECT_TRUE(BytesEqual("e", "a", "same", "same"));
}

class HarnessRegistry : public ::testing::Test {
protected:
    const std::string key = "SOFTWARE\\PerchmanHarnessTest";
    void SetUp() override { ASSERT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, key)); }
    void TearDown() override { DeleteKeyTree(HKEY_CURRENT_USER, key); }
};

TEST_F(HarnessRegistry, ValuesKeepTheirTypeAndBytes) {
    ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, key + "\\a", "d", 0x12345678));
    ASSERT_TRUE(SetString(HKEY_CURRENT_USER, key + "\\a", "s", "text"));
    ASSERT_TRUE(SetBinary(HKEY_CURRENT_USER, key + "\\a", "b", std::string("\0\1\2", 3)));
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, key + "\\a", "d"), 0x12345678u);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, key + "\\a", "s"), "text");
    EXPECT_EQ(ReadBinary(HKEY_CURRENT_USER, key + "\\a", "s"), std::string("text\0", 5));
    EXPECT_EQ(ReadBinary(HKEY_CURRENT_USER, key + "\\a", "b"), std::string("\0\1\2", 3));
    EXPECT_EQ(ValueType(HKEY_CURRENT_USER, key + "\\a", "b"), static_cast<DWORD>(REG_BINARY));
    // A value of another type is not read as a number or a text.
    EXPECT_EQ(ReadDword(HKEY_CURRENT_USER, key + "\\a", "s"), std::nullopt);
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, key + "\\a", "d"), std::nullopt);
    EXPECT_TRUE(DeleteValue(HKEY_CURRENT_USER, key + "\\a", "d"));
    EXPECT_FALSE(ValueExists(HKEY_CURRENT_USER, key + "\\a", "d"));
}

TEST_F(HarnessRegistry, DeleteKeyTreeTakesEveryLevel) {
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, key + "\\a\\b\\c"));
    ASSERT_TRUE(CreateKey(HKEY_CURRENT_USER, key + "\\a\\d"));
    ASSERT_TRUE(SetDword(HKEY_CURRENT_USER, key + "\\a\\b", "v", 1));
    EXPECT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, key));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
    EXPECT_TRUE(DeleteKeyTree(HKEY_CURRENT_USER, key));  // absent is fine
}

TEST_F(HarnessRegistry, DllOverridesBecomePerProgramValues) {
    const std::string exe = "perchman-harness-probe.exe";
    const std::string overrides = "Software\\Wine\\AppDefaults\\" + exe + "\\DllOverrides";
    SetDllOverrides(exe, "wininet,ws2_32=d;version=n,b;mpr=");
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, overrides, "wininet"), "");
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, overrides, "ws2_32"), "");
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, overrides, "version"), "n,b");
    EXPECT_EQ(ReadString(HKEY_CURRENT_USER, overrides, "mpr"), "");
    // Each run states all of its overrides: the previous run's are gone.
    SetDllOverrides(exe, "");
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, overrides));
    DeleteKeyTree(HKEY_CURRENT_USER, "Software\\Wine\\AppDefaults\\" + exe);
}

}  // namespace
}  // namespace e2e
