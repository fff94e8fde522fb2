#include <gtest/gtest.h>

#include <string>

#include "engine/network_change.h"
#include "engine/parent_check.h"

namespace {

TEST(ClientRecordKey, PrintsTheGuidAsFourLittleEndianWords) {
    const BYTE guid[kClientGuidSize] = {0x00, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07,
                                        0x08, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    char key[128];
    ASSERT_TRUE(FormatClientRecordKey("MYPC", guid, key, sizeof key));
    EXPECT_STREQ(key, "Clients\\MYPC_::_03020100070605040b0a09080f0e0d0c");

    char computer[17] = "";
    OrxGetComputerName(computer, nullptr);
    ASSERT_TRUE(ClientRecordKey(guid, key, sizeof key));
    EXPECT_EQ(std::string(key),
              std::string("Clients\\") + computer + "_::_03020100070605040b0a09080f0e0d0c");

    char small[20];
    EXPECT_FALSE(FormatClientRecordKey("MYPC", guid, small, sizeof small));
}

}  // namespace
