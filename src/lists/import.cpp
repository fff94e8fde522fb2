// Import of roaming server lists: one pass over a text file whose lines set or
// delete one list value on this machine or on a server.

#include "lists/import.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string_view>

#include "common/handles.h"
#include "common/text.h"
#include "output/output.h"
#include "product/product_library.h"

namespace {

constexpr unsigned kMsgSettingKey = 63;        // formatted with "local"
constexpr unsigned kMsgSetLocal = 64;
constexpr unsigned kMsgDeletingLocal = 65;
constexpr unsigned kMsgServerNotSet = 66;
constexpr unsigned kMsgServerSet = 67;
constexpr unsigned kMsgServerNothingToDelete = 68;
constexpr unsigned kMsgServerNotDeleted = 69;
constexpr unsigned kMsgServerDeleted = 70;
constexpr unsigned kMsgCannotOpenImport = 71;
constexpr unsigned kMsgMalformedLine = 144;
constexpr unsigned kMsgServerUnreachable = 148;

// As written, capitals included; the registry does not mind the case.
constexpr char kLocalTarget[] =
    "SOFTWARE\\TARVO\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";
constexpr char kServerKeyPath[] = "ProductControl";
constexpr char kLocalMachine[] = "<local>";
constexpr char kSeparators[] = ",>=";

constexpr const char* kRoleWords[] = {"Parent", "Primary", "HPD",   "WDR",
                                      "KPZ",    "Quarantine", "Alerts"};

// The statuses the product gives when the server could not be reached.
constexpr product::Status kCommunicationStatuses[] = {
    product::kCommTimeout, product::kOutOfMemory, product::kCommRefused,
    product::kCommNoRoute, product::kCommLost};

constexpr unsigned char kDosEndOfFile = 0x1A;

bool IsRoleWord(std::string_view word) {
    for (const char* role : kRoleWords)
        if (EqualsNoCase(word, role)) return true;
    return false;
}

bool IsCommunicationFailure(product::Status status) {
    for (product::Status communication : kCommunicationStatuses)
        if (status == communication) return true;
    return false;
}

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

// Reads a file in blocks and hands it out one physical line at a time, the
// whole line whatever its length. The file is read as bytes up to its first
// Ctrl-Z: the line end is LF or CR LF, and a CR anywhere else is a byte of the
// line.
class LineReader {
public:
    explicit LineReader(FILE* file) : file_(file) {}

    // false at the end of the file.
    bool Next(NormalisedLine& line) {
        line.Reset();
        int byte = Get();
        if (byte == EOF) return false;
        for (; byte != EOF && byte != '\n'; byte = Get()) {
            if (byte == '\r' && (Peek() == '\n' || Peek() == EOF)) continue;
            line.Add(static_cast<unsigned char>(byte));
        }
        return true;
    }

private:
    int Peek() {
        if (position_ == end_ && !Fill()) return EOF;
        return buffer_[position_];
    }
    int Get() {
        int byte = Peek();
        if (byte != EOF) ++position_;
        return byte;
    }
    bool Fill() {
        position_ = 0;
        end_ = 0;
        if (ended_) return false;
        size_t read = std::fread(buffer_, 1, sizeof buffer_, file_);
        end_ = TextBeforeEndOfFile(
            std::string_view(reinterpret_cast<const char*>(buffer_), read));
        ended_ = end_ < read;
        return end_ > 0;
    }

    FILE* file_;
    unsigned char buffer_[16384];
    size_t position_ = 0;
    size_t end_ = 0;
    bool ended_ = false;  // the end-of-file mark has been read
};

void PrintLocalFailure(LONG status, const char* text) {
    SetLastError(static_cast<DWORD>(status));  // Reg* give their status, not the last error
    PrintLastError(text, nullptr, true);
}

void ApplyLocally(ImportState& state, const ImportEntry& entry) {
    RegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kLocalTarget, 0, nullptr, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, nullptr, key.put(), nullptr) != ERROR_SUCCESS)
        return;

    if (entry.isDelete) {
        LONG status = RegDeleteValueA(key.get(), entry.valueName);
        if (status == ERROR_SUCCESS) {
            PrintMessageId(kMsgDeletingLocal, nullptr, true);
        } else {
            char text[kTextSize];
            LoadMessage(kMsgDeletingLocal, text);
            PrintLocalFailure(status, text);
        }
        return;
    }

    CopyText(state.localPair.valueName, entry.valueName);
    CopyText(state.localPair.list, entry.list);
    LONG status = RegSetValueExA(key.get(), entry.valueName, 0, REG_SZ,
                                 reinterpret_cast<const BYTE*>(entry.list),
                                 static_cast<DWORD>(std::strlen(entry.list) + 1));
    if (status == ERROR_SUCCESS) {
        PrintMessageId(kMsgSetLocal, nullptr, true, entry.valueName, entry.list);
    } else {
        char text[kTextSize];
        FormatMessageId(text, sizeof text, kMsgSettingKey, "local");
        PrintLocalFailure(status, text);
    }
}

void DeleteOnServer(const ImportEntry& entry) {
    product::Status status =
        Product.DeleteServerValue
            ? Product.DeleteServerValue(entry.machine, kServerKeyPath, entry.valueName)
            : product::kLibraryUnavailable;
    if (status == product::kNotFound)
        PrintMessageId(kMsgServerNothingToDelete, nullptr, false, entry.machine, entry.valueName);
    else if (status == product::kOk)
        PrintMessageId(kMsgServerDeleted, nullptr, true, entry.machine, entry.valueName);
    else
        PrintMessageId(kMsgServerNotDeleted, nullptr, false, entry.machine, entry.valueName,
                       status);
}

uint32_t EntrySize(const char* valueName, const char* list) {
    return product::WriteEntrySize(static_cast<uint32_t>(std::strlen(valueName)),
                                   static_cast<uint32_t>(std::strlen(list) + 1));
}

product::Status AddToBlock(uint8_t* block, const char* valueName, const char* list,
                           uint32_t* used) {
    return Product.AddValueToBlock(block, valueName, REG_SZ,
                                   static_cast<uint32_t>(std::strlen(list) + 1), list, used);
}

// The line's value and the local pair travel in one block, one call.
product::Status WriteToServer(const LocalPair& pair, const ImportEntry& entry) {
    uint32_t needed = EntrySize(entry.valueName, entry.list);
    if (pair.IsSet()) needed += EntrySize(pair.valueName, pair.list);
    // The zero byte after the last value ends the block: it needs its room too.
    if (needed + 1 > product::kListBlockSize) return kValuesDoNotFit;
    if (!Product.AddValueToBlock || !Product.WriteServerValues)
        return product::kLibraryUnavailable;

    uint8_t block[product::kListBlockSize] = {};
    uint32_t used = 0;
    product::Status status = AddToBlock(block, entry.valueName, entry.list, &used);
    if (status == product::kOk && pair.IsSet())
        status = AddToBlock(block, pair.valueName, pair.list, &used);
    if (status != product::kOk) return status;
    return Product.WriteServerValues(entry.machine, kServerKeyPath, 1, block, used);
}

void SetOnServer(const ImportState& state, const ImportEntry& entry) {
    product::Status status = WriteToServer(state.localPair, entry);
    if (status == product::kOk)
        PrintMessageId(kMsgServerSet, nullptr, true, entry.machine, entry.valueName, entry.list);
    else if (IsCommunicationFailure(status))
        PrintMessageId(kMsgServerUnreachable, nullptr, false, entry.machine, entry.valueName,
                       status);
    else
        PrintMessageId(kMsgServerNotSet, nullptr, false, entry.machine, entry.valueName, status);
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

void ImportLine(ImportState& state, const NormalisedLine& line) {
    ImportEntry entry;
    switch (ParseImportLine(line, entry)) {
    case ImportLineKind::Ignored:
        return;
    case ImportLineKind::Malformed:
        PrintMessageId(kMsgMalformedLine, nullptr, true, state.lineNumber);
        return;
    case ImportLineKind::Entry:
        break;
    }
    if (entry.isLocal)
        ApplyLocally(state, entry);
    else if (entry.isDelete)
        DeleteOnServer(entry);
    else
        SetOnServer(state, entry);
}

void Import(const char* fileName) {
    // Opened as bytes: the reader itself decides what ends a line and the
    // file, so that no CR reaches a value.
    StdioFile file(std::fopen(fileName, "rb"));
    if (!file) {
        char text[kTextSize];
        LoadMessage(kMsgCannotOpenImport, text);
        PrintLastError(text, nullptr, true);
        return;
    }
    ImportState state;
    LineReader reader(file.get());
    NormalisedLine line;
    while (reader.Next(line)) {
        ++state.lineNumber;
        ImportLine(state, line);
    }
}
