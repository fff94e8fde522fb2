// Command-line arguments are whatever a user typed. A number for
// /time_network is digits only; the executable name for /install is refused
// untouched, or becomes a bare file name ending in ".EXE" that normalises to
// itself.

#include <cstdint>
#include <cstring>

#include "entry/command_line.h"
#include "fuzz_check.h"
#include "fuzz_text.h"

namespace {

void CheckDecimal(const char* text, size_t length) {
    bool digitsOnly = length > 0;
    for (size_t i = 0; i < length; ++i) digitsOnly &= text[i] >= '0' && text[i] <= '9';
    FUZZ_CHECK(IsDecimalNumber(text) == (digitsOnly ? 1 : 0));
}

void CheckExecutableName(const char* text) {
    char name[kArgumentSize];
    std::strncpy(name, text, sizeof name - 1);
    name[sizeof name - 1] = '\0';
    char before[kArgumentSize];
    std::memcpy(before, name, sizeof name);

    if (NormaliseExecutableName(name) != ExecutableName::Usable) {
        FUZZ_CHECK(std::memcmp(before, name, sizeof name) == 0);
        return;
    }
    size_t length = std::strlen(name);
    FUZZ_CHECK(length >= 4 && length <= 255 + 4);
    FUZZ_CHECK(std::strcmp(name + length - 4, ".EXE") == 0);
    FUZZ_CHECK(std::strpbrk(name, "\\/:") == nullptr);
    char again[kArgumentSize];
    std::memcpy(again, name, sizeof name);
    FUZZ_CHECK(NormaliseExecutableName(again) == ExecutableName::Usable);
    FUZZ_CHECK(std::strcmp(again, name) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzText text(data, size, kArgumentSize - 1);
    CheckDecimal(text.get(), text.length());
    CheckExecutableName(text.get());
    return 0;
}
