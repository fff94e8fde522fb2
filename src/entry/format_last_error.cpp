// The error text of the installation messages: the system's description with
// its line end cut and the code appended.

#include "entry/format_last_error.h"

#include <windows.h>

#include <cstring>

#include "common/text.h"

char ErrorText[kErrorTextSize];

namespace {

// Allocated buffer, system table, argument array.
constexpr DWORD kFormatFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_ARGUMENT_ARRAY;
// What the code and its frame add: " (0x" + eight digits + ")" + NUL.
constexpr size_t kCodeRoom = 14;
constexpr size_t kMaxInserts = 99;

// Some system texts carry inserts (%1 ... %99). Without IGNORE_INSERTS the
// system reads one argument per insert, and with no array at all it would
// read through a null pointer: every insert reads an empty text instead.
struct EmptyInserts {
    DWORD_PTR texts[kMaxInserts];
    EmptyInserts() {
        for (DWORD_PTR& text : texts) text = reinterpret_cast<DWORD_PTR>("");
    }
};
const EmptyInserts kEmptyInserts;

}  // namespace

char* FormatLastError(char* buffer, size_t size) {
    DWORD code = GetLastError();
    if (size == 0) return buffer;
    buffer[0] = '\0';
    char* system = nullptr;
    FormatMessageA(kFormatFlags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&system), 0,
                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(kEmptyInserts.texts)));
    if (system) {
        size_t length = std::strlen(system);
        if (size >= length + kCodeRoom) {
            // The system's text closes with CR LF.
            system[length >= 2 ? length - 2 : 0] = '\0';
            FormatText(buffer, size, "%s (0x%x)", system, static_cast<unsigned>(code));
        }
        LocalFree(system);
    }
    SetLastError(code);
    return buffer;
}
