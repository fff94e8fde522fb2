#pragma once
// Bounded text into fixed buffers: every function takes the buffer's size
// from its type, always terminates, and cuts what does not fit.

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string_view>

// Copies as much of text as fits; returns false when it had to cut.
inline bool CopyText(char* out, size_t size, std::string_view text) {
    if (size == 0) return text.empty();
    size_t n = text.size() < size - 1 ? text.size() : size - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n == text.size();
}
template <size_t N>
bool CopyText(char (&out)[N], std::string_view text) {
    return CopyText(out, N, text);
}

// Appends to the NUL-terminated text already in out; false when it had to cut.
inline bool AppendText(char* out, size_t size, std::string_view text) {
    size_t used = strnlen(out, size);
    if (used >= size) return text.empty();
    return CopyText(out + used, size - used, text);
}
template <size_t N>
bool AppendText(char (&out)[N], std::string_view text) {
    return AppendText(out, N, text);
}

// Outside text (a list a server published, a name from it) as a line may
// show it: a line break inside it would start a line of its own on the
// console and the debugger channel, and read as the program's, so every
// control character is written as \xNN. Cut like CopyText, never inside an
// escape; false when it had to cut.
inline bool CopyShownText(char* out, size_t size, std::string_view text) {
    if (size == 0) return text.empty();
    static const char kHex[] = "0123456789ABCDEF";
    size_t used = 0;
    for (char c : text) {
        unsigned char byte = static_cast<unsigned char>(c);
        bool control = byte < 0x20 || byte == 0x7F;
        size_t needed = control ? 4 : 1;
        if (used + needed > size - 1) {
            out[used] = '\0';
            return false;
        }
        if (control) {
            out[used++] = '\\';
            out[used++] = 'x';
            out[used++] = kHex[byte >> 4];
            out[used++] = kHex[byte & 0x0F];
        } else {
            out[used++] = c;
        }
    }
    out[used] = '\0';
    return true;
}

// A copy of outside text fit for a line, for the argument of a message.
template <size_t N = 1024>
class ShownText {
public:
    explicit ShownText(std::string_view text) { CopyShownText(text_, N, text); }
    const char* get() const { return text_; }

private:
    char text_[N];
};

// The formatting below is the compiler's own (C99) printf, not the system's:
// mingw names that archetype gnu_printf; the native build's clang only knows
// printf, which means the same there.
#if defined(__MINGW32__)
#define TEXT_FORMAT_CHECK(formatIndex, firstArgument) \
    __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define TEXT_FORMAT_CHECK(formatIndex, firstArgument) \
    __attribute__((format(printf, formatIndex, firstArgument)))
#endif

// printf-style formatting that never writes past the buffer. The format must
// be the program's own text (a message or a literal), never outside input.
inline bool FormatTextV(char* out, size_t size, const char* format, va_list args) {
    if (size == 0) return false;
    int n = std::vsnprintf(out, size, format, args);
    if (n < 0) {
        out[0] = '\0';
        return false;
    }
    return static_cast<size_t>(n) < size;
}
inline bool FormatText(char* out, size_t size, const char* format, ...)
    TEXT_FORMAT_CHECK(3, 4);
inline bool FormatText(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool whole = FormatTextV(out, size, format, args);
    va_end(args);
    return whole;
}
// C varargs rather than a parameter pack, so that the compiler checks the
// arguments against a literal format here too.
template <size_t N>
bool FormatText(char (&out)[N], const char* format, ...)
    TEXT_FORMAT_CHECK(2, 3);
template <size_t N>
bool FormatText(char (&out)[N], const char* format, ...) {
    va_list args;
    va_start(args, format);
    bool whole = FormatTextV(out, N, format, args);
    va_end(args);
    return whole;
}

// Case-insensitive comparison of ASCII option words and names.
inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) return false;
    }
    return true;
}
