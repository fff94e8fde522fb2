// /check_parent and /shutdown end to end, against a lab parent.

#include <gtest/gtest.h>

#include <string>

#include "harness/harness.h"
#include "labnet/labnet.h"

namespace {

using e2e::Crlf;
using e2e::FormatMessageText;

constexpr char kMarker[] = "Down-NoParent-7A41C2E95D3B11d6A0F4C2B87E19D306";
constexpr char kGuidBytes[] = "000102030405060708090a0b0c0d0e0f";

class ParentCheckTest : public e2e::ProductTest {
protected:
    e2e::RunResult Run(const char* option) {
        e2e::RunResult result = e2e::RunPerchman({option});
        EXPECT_TRUE(e2e::Finished(result));
        return result;
    }
    static std::string RecordKey() {
        char name[MAX_COMPUTERNAME_LENGTH + 1] = "";
        DWORD size = sizeof name;
        GetComputerNameA(name, &size);
        return std::string("Clients\\") + name + "_::_03020100070605040b0a09080f0e0d0c";
    }
    static bool ReadsOfServers(const std::string& log) {
        return log.find("ReadServerValues") != std::string::npos;
    }
};

TEST_F(ParentCheckTest, TheMarkerIsNoParentAndNothingIsAskedOfTheNetwork) {
    Load(std::string("server P latency=1 pattern=0x1234\n"
                     "dword <local> - Connected 1\n"
                     "string <local> - Parent ") + kMarker + "\nlab record\n");
    auto result = Run("/check_parent");
    EXPECT_BYTES_EQ(Crlf(FormatMessageText(107, kMarker, 0, 0u)), result.out);
    EXPECT_FALSE(ReadsOfServers(lab::ReadCallLog())) << lab::ReadCallLog();
}

TEST_F(ParentCheckTest, ReportsTheParentAsFarAsItCouldBeRead) {
    struct Case {
        const char* description;
        const char* network;
        unsigned message;
        int connected;
        unsigned pattern;
    };
    const Case cases[] = {
        {"healthy", "server P latency=1 pattern=0x1234\ndword <local> - Connected 1\n", 106, 1,
         0x1234u},
        {"the product lost its parent", "server P latency=1 pattern=0x1234\n"
                                        "dword <local> - Connected 0\n", 107, 0, 0x1234u},
        {"no Connected value", "server P latency=1 pattern=0x1234\n", 107, 0, 0x1234u},
        {"pattern stored as a string", "server P latency=1\nstring P - UsingPattern 1234\n"
                                       "dword <local> - Connected 1\n", 107, 1, 0xFFFFFFFFu},
        {"parent unreachable", "server P down timeout=10\ndword <local> - Connected 1\n", 107,
         1, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        Load(std::string(c.network) + "string <local> - Parent P\n");
        auto result = Run("/check_parent");
        EXPECT_BYTES_EQ(Crlf(FormatMessageText(c.message, "P", c.connected, c.pattern)),
                        result.out)
            << c.description;
    }
}

TEST_F(ParentCheckTest, NoParentValueAtAll) {
    Load("server P latency=1 pattern=0x1234\ndword <local> - Connected 1\nlab record\n");
    auto result = Run("/check_parent");
    EXPECT_BYTES_EQ(Crlf(FormatMessageText(107, "", 0, 0u)), result.out);
    EXPECT_FALSE(ReadsOfServers(lab::ReadCallLog()));
}

TEST_F(ParentCheckTest, ShutdownReleasesTheParentOnceAndThenOnlyKeepsTheMarker) {
    Load(std::string("server P latency=1\n"
                     "string <local> - Parent P\n"
                     "binary <local> - GUID ") + kGuidBytes + "\nlab record\n");
    auto first = Run("/shutdown");
    EXPECT_EQ(first.out, "");
    EXPECT_EQ(lab::ReadString("<local>", "-", "LastParent"), "P");
    EXPECT_EQ(lab::ReadString("<local>", "-", "Parent"), kMarker);
    EXPECT_EQ(lab::ReadValue("<local>", "-", "LastParent")->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(lab::ReadValue("<local>", "-", "Parent")->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(lab::ReadDword("P", RecordKey(), "good"), 0u) << lab::ReadCallLog();

    // The second release finds the marker: no LastParent, nothing remote, and
    // the marker written again (seen by its type: the program writes REG_SZ).
    ASSERT_TRUE(lab::DeleteValue("<local>", "-", "LastParent"));
    ASSERT_TRUE(lab::DeleteValue("P", RecordKey(), "good"));
    ASSERT_TRUE(lab::SetValue("<local>", "-", "Parent", REG_EXPAND_SZ,
                              std::string(kMarker, sizeof kMarker)));
    lab::ClearCallLog();
    auto second = Run("/shutdown");
    EXPECT_EQ(second.out, "");
    EXPECT_FALSE(lab::ValueExists("<local>", "-", "LastParent"));
    EXPECT_FALSE(lab::ValueExists("P", RecordKey(), "good"));
    EXPECT_EQ(lab::ReadString("<local>", "-", "Parent"), kMarker);
    EXPECT_EQ(lab::ReadValue("<local>", "-", "Parent")->type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(lab::ReadCallLog().find("WriteServerValues"), std::string::npos)
        << lab::ReadCallLog();
}

TEST_F(ParentCheckTest, ShutdownWithoutAGuidTouchesNoRecordOnTheParent) {
    Load("server P latency=1\nstring <local> - Parent P\nlab record\n");
    auto result = Run("/shutdown");
    EXPECT_EQ(lab::ReadString("<local>", "-", "LastParent"), "P");
    EXPECT_EQ(lab::ReadString("<local>", "-", "Parent"), kMarker);
    EXPECT_EQ(lab::ReadCallLog().find("WriteServerValues"), std::string::npos)
        << lab::ReadCallLog();
}

}  // namespace
