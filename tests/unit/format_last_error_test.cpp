#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "entry/format_last_error.h"

// The error text of the installation messages: the system's text without its
// CR LF, then the code; empty when the system has no text or the buffer has
// no room for the text and the code.
namespace {

std::string SystemTextWithoutLineEnd(DWORD code) {
    char* text = nullptr;
    FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                       FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string result = text ? text : "";
    if (text) LocalFree(text);
    return result.substr(0, result.size() >= 2 ? result.size() - 2 : 0);
}

std::string Format(DWORD code, size_t size) {
    char buffer[kErrorTextSize] = "untouched";
    SetLastError(code);
    char* returned = FormatLastError(buffer, size);
    EXPECT_EQ(returned, buffer);
    EXPECT_EQ(GetLastError(), code) << "the last error is kept for the caller";
    return buffer;
}

TEST(FormatLastError, TextAndCodeOnlyWhenTheyFit) {
    const std::string denied = SystemTextWithoutLineEnd(ERROR_ACCESS_DENIED);
    ASSERT_FALSE(denied.empty());
    // The stored text is 2 longer (CR LF); the room needed is its length + 14.
    const size_t exactRoom = denied.size() + 2 + 14;
    struct Case {
        DWORD code;
        size_t size;
        std::string expected;
    } cases[] = {
        {ERROR_ACCESS_DENIED, kErrorTextSize, denied + " (0x5)"},
        {ERROR_ACCESS_DENIED, exactRoom, denied + " (0x5)"},
        {ERROR_ACCESS_DENIED, exactRoom - 1, ""},
        {0x20000000, kErrorTextSize, ""},  // the system has no text
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "code " << c.code << " size " << c.size);
        EXPECT_EQ(Format(c.code, c.size), c.expected);
    }
}

TEST(FormatLastError, ATextWithInsertsIsFormattedWithEmptyInserts) {
    // "Insert disk for drive %1." here; read with no argument array at all the
    // system would fail (or fault) instead.
    const std::string raw = SystemTextWithoutLineEnd(ERROR_DISK_CHANGE);
    ASSERT_NE(raw.find("%1"), std::string::npos) << raw;
    std::string text = Format(ERROR_DISK_CHANGE, kErrorTextSize);
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
    EXPECT_NE(text.find(" (0x6b)"), std::string::npos) << text;
}

}  // namespace
