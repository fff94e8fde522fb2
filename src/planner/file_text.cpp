#include "planner/file_text.h"

#include <algorithm>
#include <cstdint>

#include "planner/plan_text.h"

namespace {

// Far beyond any tree or table; the readers bound their lines themselves.
constexpr size_t kMostFileBytes = 64u << 20;
constexpr unsigned char kDosEndOfFile = 0x1A;
constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";
constexpr size_t kByteOrderMarkSize = sizeof kByteOrderMark - 1;
// Marks a converted line as damaged, as its raw bytes were: the normaliser
// takes any control byte for that.
constexpr unsigned char kDamageMark = 0x01;

// Code page 1252 at 0x80..0x9F; the five bytes it leaves undefined stand for
// the C1 controls, as Windows maps them. From 0xA0 it is Latin-1.
constexpr uint16_t kCodePage1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178,
};

// Code page 850 from 0x80.
constexpr uint16_t kCodePage850[128] = {
    0x00C7, 0x00FC, 0x00E9, 0x00E2, 0x00E4, 0x00E0, 0x00E5, 0x00E7,
    0x00EA, 0x00EB, 0x00E8, 0x00EF, 0x00EE, 0x00EC, 0x00C4, 0x00C5,
    0x00C9, 0x00E6, 0x00C6, 0x00F4, 0x00F6, 0x00F2, 0x00FB, 0x00F9,
    0x00FF, 0x00D6, 0x00DC, 0x00F8, 0x00A3, 0x00D8, 0x00D7, 0x0192,
    0x00E1, 0x00ED, 0x00F3, 0x00FA, 0x00F1, 0x00D1, 0x00AA, 0x00BA,
    0x00BF, 0x00AE, 0x00AC, 0x00BD, 0x00BC, 0x00A1, 0x00AB, 0x00BB,
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x00C1, 0x00C2, 0x00C0,
    0x00A9, 0x2563, 0x2551, 0x2557, 0x255D, 0x00A2, 0x00A5, 0x2510,
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x00E3, 0x00C3,
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x00A4,
    0x00F0, 0x00D0, 0x00CA, 0x00CB, 0x00C8, 0x0131, 0x00CD, 0x00CE,
    0x00CF, 0x2518, 0x250C, 0x2588, 0x2584, 0x00A6, 0x00CC, 0x2580,
    0x00D3, 0x00DF, 0x00D4, 0x00D2, 0x00F5, 0x00D5, 0x00B5, 0x00FE,
    0x00DE, 0x00DA, 0x00DB, 0x00D9, 0x00FD, 0x00DD, 0x00AF, 0x00B4,
    0x00AD, 0x00B1, 0x2017, 0x00BE, 0x00B6, 0x00A7, 0x00F7, 0x00B8,
    0x00B0, 0x00A8, 0x00B7, 0x00B9, 0x00B3, 0x00B2, 0x25A0, 0x00A0,
};

uint32_t FromAnsi(unsigned char c) {
    if (c < 0x80 || c >= 0xA0) return c;
    return kCodePage1252[c - 0x80];
}

// -1 for a character the code page lacks.
int ToAnsi(uint32_t code) {
    if (code < 0x80 || (code >= 0xA0 && code <= 0xFF)) return static_cast<int>(code);
    for (int i = 0; i < 32; ++i)
        if (kCodePage1252[i] == code) return 0x80 + i;
    return -1;
}

int ToCp850(uint32_t code) {
    if (code < 0x80) return static_cast<int>(code);
    for (int i = 0; i < 128; ++i)
        if (kCodePage850[i] == code) return 0x80 + i;
    return -1;
}

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
        return;
    }
    if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    }
    out += static_cast<char>(0x80 | (code & 0x3F));
}

// Strict UTF-8, fed a byte at a time: no overlong forms, no surrogates,
// nothing past U+10FFFF.
class Utf8Check {
public:
    void Add(unsigned char byte) {
        if (!valid_) return;
        if (needed_) {
            valid_ = byte >= low_ && byte <= high_;
            low_ = 0x80;
            high_ = 0xBF;
            --needed_;
            return;
        }
        if (byte < 0x80) return;
        if (byte >= 0xC2 && byte <= 0xDF) {
            needed_ = 1;
        } else if (byte >= 0xE0 && byte <= 0xEF) {
            needed_ = 2;
            if (byte == 0xE0) low_ = 0xA0;
            if (byte == 0xED) high_ = 0x9F;
        } else if (byte >= 0xF0 && byte <= 0xF4) {
            needed_ = 3;
            if (byte == 0xF0) low_ = 0x90;
            if (byte == 0xF4) high_ = 0x8F;
        } else {
            valid_ = false;
        }
    }
    bool Valid() const { return valid_ && needed_ == 0; }

private:
    int needed_ = 0;
    unsigned char low_ = 0x80, high_ = 0xBF;
    bool valid_ = true;
};

// One character at the start of text: its code and its length; a byte that
// starts no valid sequence (a line cut in the middle of one) is U+FFFD.
uint32_t TakeUtf8(std::string_view& text) {
    unsigned char first = static_cast<unsigned char>(text[0]);
    size_t length = first < 0x80 ? 1 : first >= 0xF0 ? 4 : first >= 0xE0 ? 3 : 2;
    Utf8Check check;
    for (size_t i = 0; i < length && i < text.size(); ++i)
        check.Add(static_cast<unsigned char>(text[i]));
    if (length > text.size() || !check.Valid()) {
        text.remove_prefix(1);
        return 0xFFFD;
    }
    uint32_t code = length == 1 ? first : first & (0x7F >> length);
    for (size_t i = 1; i < length; ++i) code = (code << 6) | (static_cast<unsigned char>(text[i]) & 0x3F);
    text.remove_prefix(length);
    return code;
}

}  // namespace

FileLines::FileLines(FILE* file) : raw_(std::make_unique<NormalisedLine>()) {
    char block[16384];
    size_t read = 0;
    while ((read = std::fread(block, 1, sizeof block, file)) > 0) {
        if (text_.size() + read > kMostFileBytes) {
            problem_ = Concat({"larger than ", std::to_string(kMostFileBytes >> 20),
                               " MiB, more than a plan reads"});
            return;
        }
        text_.append(block, read);
    }
    if (std::ferror(file)) {
        problem_ = "cannot be read";
        return;
    }
    // As in a text-mode read, the first end-of-file mark ends the file.
    text_.resize(std::min(text_.size(), text_.find(static_cast<char>(kDosEndOfFile))));
    if (text_.compare(0, kByteOrderMarkSize, kByteOrderMark) == 0)
        text_.erase(0, kByteOrderMarkSize);
    Utf8Check check;
    for (char c : text_) check.Add(static_cast<unsigned char>(c));
    utf8_ = check.Valid();
}

FileLines::~FileLines() = default;

bool FileLines::Next(NormalisedLine& line) {
    unheld_ = std::string_view::npos;
    if (!problem_.empty() || at_ >= text_.size()) return false;
    size_t end = std::min(text_.size(), text_.find('\n', at_));
    NormalisedLine& raw = utf8_ ? *raw_ : line;
    raw.Reset();
    // The line ends at LF or CR LF; a CR anywhere else is a byte of the line.
    for (size_t i = at_; i < end; ++i)
        if (text_[i] != '\r' || i + 1 < end) raw.Add(static_cast<unsigned char>(text_[i]));
    at_ = end + 1;
    if (!utf8_) return true;
    line.Reset();
    std::string_view text(raw_->Text(), raw_->Length());
    size_t column = 0;
    while (!text.empty()) {
        int ansi = ToAnsi(TakeUtf8(text));
        if (ansi < 0 && unheld_ == std::string_view::npos) unheld_ = column;
        line.Add(static_cast<unsigned char>(ansi < 0 ? kUnheldCharacter : ansi));
        ++column;
    }
    if (raw_->IsDamaged()) line.Add(kDamageMark);
    return true;
}

std::string Utf8FromAnsi(std::string_view text) {
    std::string utf8;
    for (unsigned char c : text) AppendUtf8(utf8, FromAnsi(c));
    return utf8;
}

std::string Cp850FromAnsi(std::string_view text) {
    std::string oem;
    for (unsigned char c : text) {
        int converted = ToCp850(FromAnsi(c));
        oem += static_cast<char>(converted < 0 ? kUnheldCharacter : converted);
    }
    return oem;
}

std::string AnsiFromCp850(std::string_view text) {
    std::string ansi;
    for (unsigned char c : text) {
        int converted = ToAnsi(c < 0x80 ? c : kCodePage850[c - 0x80]);
        ansi += static_cast<char>(converted < 0 ? kUnheldCharacter : converted);
    }
    return ansi;
}
