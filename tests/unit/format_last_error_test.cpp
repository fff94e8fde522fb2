#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "entry/format_last_error.h"

// The error text of the installation messages (its usual form is checked end
// to end): what happens at the edge of its room, and with a system text that
// has inserts.
namespace {

std::string Format(DWORD code, size_t size) {
    char buffer[kErrorTextSize] = "untouched";
    SetLastError(code);
    FormatLastError(buffer, size);
    EXPECT_EQ(GetLastError(), code) << "the last error is kept for the caller";
    return buffer;
}

TEST(FormatLastError, EmptyWhenTheTextAndCodeDoNotFit) {
    const std::string whole = Format(ERROR_ACCESS_DENIED, kErrorTextSize);
    ASSERT_GT(whole.size(), 6u);
    // The system's text carries a CR LF that is cut; the code adds " (0x5)".
    const size_t stored = whole.size() - 6 + 2;
    EXPECT_EQ(Format(ERROR_ACCESS_DENIED, stored + 14), whole);
    EXPECT_EQ(Format(ERROR_ACCESS_DENIED, stored + 13), "");
    EXPECT_EQ(Format(0x20000000, kErrorTextSize), "") << "the system has no text for it";
}

TEST(FormatLastError, ATextWithInsertsGetsEmptyInserts) {
    // "Insert disk for drive %1." here; read with no argument array at all the
    // system fails (or faults) instead.
    std::string text = Format(ERROR_DISK_CHANGE, kErrorTextSize);
    EXPECT_NE(text.find(" (0x6b)"), std::string::npos) << text;
    EXPECT_EQ(text.find('%'), std::string::npos) << text;
}

}  // namespace
