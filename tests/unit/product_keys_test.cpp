#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "product/product_interface.h"
#include "product/product_keys.h"

// The seven handles opened at start: a missing root leaves all of them null,
// a missing subkey only its own.
namespace {

const char* const kSubkeys[] = {"PatternManager", "ProductControl", "ClientScan",
                                "ForwardScan",    "SystemScan",     "Common"};

void DeleteTree(const std::string& path) {
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return;
    char name[256];
    DWORD length = sizeof name;
    while (RegEnumKeyExA(key, 0, name, &length, nullptr, nullptr, nullptr, nullptr) ==
           ERROR_SUCCESS) {
        DeleteTree(path + "\\" + name);
        length = sizeof name;
    }
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
}

class ProductKeysTest : public ::testing::Test {
protected:
    void SetUp() override { DeleteTree(kProductRootPath); }
    void TearDown() override {
        CloseProductKeys();
        DeleteTree(kProductRootPath);
    }
    void CreateRootWithout(const char* missing) {
        for (const char* subkey : kSubkeys) {
            if (missing && std::string(subkey) == missing) continue;
            HKEY key;
            std::string path = std::string(kProductRootPath) + "\\" + subkey;
            ASSERT_EQ(RegCreateKeyA(HKEY_LOCAL_MACHINE, path.c_str(), &key), ERROR_SUCCESS);
            RegCloseKey(key);
        }
    }
    static HKEY* Handles(ProductKeys& k, size_t i) {
        HKEY* all[] = {&k.PatternManager, &k.ProductControl, &k.ClientScan,
                       &k.ForwardScan,    &k.SystemScan,     &k.Common};
        return all[i];
    }
};

TEST_F(ProductKeysTest, MissingRootLeavesAllSevenNull) {
    EXPECT_EQ(OpenProductKeys(), product::kProductRootUnavailable);
    EXPECT_EQ(Keys.Root, nullptr);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(*Handles(Keys, i), nullptr) << kSubkeys[i];
    CloseProductKeys();  // nothing to close, nothing happens
}

TEST_F(ProductKeysTest, MissingSubkeyLeavesOnlyItsHandleNull) {
    CreateRootWithout("SystemScan");
    EXPECT_EQ(OpenProductKeys(), 0u);
    EXPECT_NE(Keys.Root, nullptr);
    for (size_t i = 0; i < 6; ++i) {
        if (std::string(kSubkeys[i]) == "SystemScan")
            EXPECT_EQ(*Handles(Keys, i), nullptr);
        else
            EXPECT_NE(*Handles(Keys, i), nullptr) << kSubkeys[i];
    }
    // The handles are the product's own keys: a value written through one is
    // found under its name.
    DWORD one = 1;
    ASSERT_EQ(RegSetValueExA(Keys.ProductControl, "ProbeValue", 0, REG_DWORD,
                             reinterpret_cast<BYTE*>(&one), sizeof one),
              ERROR_SUCCESS);
    HKEY check;
    std::string path = std::string(kProductRootPath) + "\\ProductControl";
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &check), ERROR_SUCCESS);
    EXPECT_EQ(RegQueryValueExA(check, "ProbeValue", nullptr, nullptr, nullptr, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(check);

    CloseProductKeys();
    EXPECT_EQ(Keys.Root, nullptr);
    for (size_t i = 0; i < 6; ++i) EXPECT_EQ(*Handles(Keys, i), nullptr) << kSubkeys[i];
}

}  // namespace
