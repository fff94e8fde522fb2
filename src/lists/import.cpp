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
// The statuses the product gives when the server could not be reached.
constexpr product::Status kCommunicationStatuses[] = {
    product::kCommTimeout, product::kOutOfMemory, product::kCommRefused,
    product::kCommNoRoute, product::kCommLost};

bool IsCommunicationFailure(product::Status status) {
    for (product::Status communication : kCommunicationStatuses)
        if (status == communication) return true;
    return false;
}

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
