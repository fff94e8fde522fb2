// Cutting an import file into lines and reading one line.

#include "lists/import_line.h"

#include <cstring>
#include <string_view>

#include "common/text.h"
#include "engine/role_table.h"

namespace {

constexpr char kLocalMachine[] = "<local>";
constexpr char kSeparators[] = ",>=";

constexpr unsigned char kDosEndOfFile = 0x1A;

bool IsRoleWord(std::string_view word) { return FindRole(word) != nullptr; }

std::string_view TrimBlanks(std::string_view text) {
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
    return text;
}

// Takes the text up to the next blank off rest; false when there is no blank
// or nothing follows it.
bool TakeField(std::string_view& rest, std::string_view& field) {
    size_t blank = rest.find(' ');
    if (blank == std::string_view::npos || blank + 1 == rest.size()) return false;
    field = rest.substr(0, blank);
    rest.remove_prefix(blank + 1);
    return true;
}

// The part of a block of a text file that comes before the end-of-file mark
// (Ctrl-Z): as in a text-mode read, the first mark ends the file.
size_t TextBeforeEndOfFile(std::string_view block) {
    size_t mark = block.find(static_cast<char>(kDosEndOfFile));
    return mark == std::string_view::npos ? block.size() : mark;
}

}  // namespace

void NormalisedLine::Reset() {
    text_[0] = '\0';
    length_ = 0;
    first_ = -1;
    damaged_ = false;
}

void NormalisedLine::Add(unsigned char byte) {
    if (byte == '\t') byte = ' ';
    if (byte == ' ') {
        if (length_ == 0 || text_[length_ - 1] == ' ') return;
    } else {
        if (first_ < 0) first_ = byte;
        if (byte < 0x20 || byte == 0x7F) {
            damaged_ = true;
            return;
        }
    }
    if (length_ + 1 >= kImportLineSize) {
        damaged_ = true;
        return;
    }
    text_[length_++] = static_cast<char>(byte);
    text_[length_] = '\0';
}

bool CompactServerList(const char* list, size_t length, char* out, size_t outSize) {
    std::string_view rest(list, length);
    size_t used = 0;
    for (;;) {
        size_t separator = rest.find_first_of(kSeparators);
        std::string_view name = TrimBlanks(rest.substr(0, separator));
        if (name.empty() || name.size() > kMaxServerName) return false;
        size_t piece = name.size() + (separator == std::string_view::npos ? 0 : 1);
        if (used + piece >= outSize) return false;
        std::memcpy(out + used, name.data(), name.size());
        used += name.size();
        if (separator == std::string_view::npos) break;
        out[used++] = rest[separator];
        rest.remove_prefix(separator + 1);
    }
    out[used] = '\0';
    return true;
}

ImportLineKind ParseImportLine(const NormalisedLine& line, ImportEntry& entry) {
    if (line.IsEmpty() || line.IsComment()) return ImportLineKind::Ignored;
    if (line.IsDamaged()) return ImportLineKind::Malformed;

    std::string_view rest(line.Text(), line.Length());
    std::string_view machine, role, level;
    if (!TakeField(rest, machine) || !TakeField(rest, role) || !TakeField(rest, level))
        return ImportLineKind::Malformed;
    if (machine.empty() || role.empty() || level.empty() || !IsRoleWord(role))
        return ImportLineKind::Malformed;

    // What is left is the list; "#" in front asks for the value's deletion, and
    // a list commented out that way must still be a valid list.
    entry.isDelete = rest.front() == '#';
    if (entry.isDelete) {
        rest.remove_prefix(1);
        if (TrimBlanks(rest).empty())
            entry.list[0] = '\0';
        else if (!CompactServerList(rest.data(), rest.size(), entry.list, sizeof entry.list))
            return ImportLineKind::Malformed;
    } else if (!CompactServerList(rest.data(), rest.size(), entry.list, sizeof entry.list)) {
        return ImportLineKind::Malformed;
    }

    CopyText(entry.machine, machine);
    entry.isLocal = EqualsNoCase(machine, kLocalMachine);
    char valueName[kValueNameSize] = "RoamManaging";
    if (!AppendText(valueName, role) || !AppendText(valueName, "Level") ||
        !AppendText(valueName, level))
        return ImportLineKind::Malformed;
    CopyText(entry.valueName, valueName);
    return ImportLineKind::Entry;
}

bool LineReader::Next(NormalisedLine& line) {
    line.Reset();
    int byte = Get();
    if (byte == EOF) return false;
    for (; byte != EOF && byte != '\n'; byte = Get()) {
        if (byte == '\r' && (Peek() == '\n' || Peek() == EOF)) continue;
        line.Add(static_cast<unsigned char>(byte));
    }
    return true;
}

int LineReader::Peek() {
    if (position_ == end_ && !Fill()) return EOF;
    return buffer_[position_];
}

int LineReader::Get() {
    int byte = Peek();
    if (byte != EOF) ++position_;
    return byte;
}

bool LineReader::Fill() {
    position_ = 0;
    end_ = 0;
    if (ended_) return false;
    size_t read = std::fread(buffer_, 1, sizeof buffer_, file_);
    end_ = TextBeforeEndOfFile(std::string_view(reinterpret_cast<const char*>(buffer_), read));
    ended_ = end_ < read;
    // Editors that save "UTF-8" put a byte-order mark first: it is no part of
    // the first line's machine name.
    if (!started_) {
        started_ = true;
        constexpr unsigned char kByteOrderMark[] = {0xEF, 0xBB, 0xBF};
        if (end_ >= sizeof kByteOrderMark &&
            std::memcmp(buffer_, kByteOrderMark, sizeof kByteOrderMark) == 0)
            position_ = sizeof kByteOrderMark;
    }
    return position_ < end_;
}
