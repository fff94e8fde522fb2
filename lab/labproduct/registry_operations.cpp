// Reading, writing, deleting and listing registry values of lab servers, and
// the block helpers the program uses to build requests and walk replies.

#include <windows.h>
#include <shlwapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "product/product_interface.h"
#include "server_state.h"
#include "shared_store.h"

using product::Status;
using labproduct::ServerCall;

namespace {

constexpr char kSubKeyListing = 'K';
constexpr char kValueListing = 'V';

uint16_t Load16(const uint8_t* p) {
    uint16_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
uint32_t Load32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, sizeof v);
    return v;
}
void Store16(uint8_t* p, uint16_t v) { std::memcpy(p, &v, sizeof v); }
void Store32(uint8_t* p, uint32_t v) { std::memcpy(p, &v, sizeof v); }

// The wanted names of a read request, bounded by the block's capacity.
bool RequestedNames(const uint8_t* block, uint32_t capacity, uint32_t count,
                    std::vector<std::string>* names) {
    uint32_t pos = 0;
    while (names->size() < count) {
        const void* end = std::memchr(block + pos, '\0', capacity - pos);
        if (!end) return false;
        uint32_t length = static_cast<uint32_t>(static_cast<const uint8_t*>(end) - (block + pos));
        if (length == 0) break;
        names->emplace_back(reinterpret_cast<const char*>(block + pos), length);
        pos += length + 1;
        if (pos >= capacity) break;
    }
    return !names->empty();
}

std::string JoinNames(const std::vector<std::string>& names) {
    std::string joined;
    for (const std::string& name : names) {
        if (!joined.empty()) joined += ',';
        joined += name;
    }
    return joined;
}

// A value of the server lists, RoamManaging<ROLE>Level<LEVEL>.
bool IsListValue(const std::string& name) {
    constexpr std::string_view kPrefix = "RoamManaging";
    return name.size() > kPrefix.size() && EqualsNoCase(name.substr(0, kPrefix.size()), kPrefix);
}

// One round trip to the registry for the usual small value, a second only
// for a large one.
LONG QueryValue(HKEY key, const char* name, DWORD* type, std::vector<uint8_t>* data) {
    data->resize(product::kListBlockSize);
    for (int attempt = 0; attempt < 4; ++attempt) {
        DWORD size = static_cast<DWORD>(data->size());
        LONG status = RegQueryValueExA(key, name, nullptr, type, data->data(), &size);
        if (status == ERROR_SUCCESS) {
            data->resize(size);
            return 0;
        }
        if (status != ERROR_MORE_DATA) return status;
        data->resize(size > data->size() ? size : data->size() * 2);
    }
    return ERROR_MORE_DATA;
}

struct WriteEntry {
    std::string name;
    uint32_t type = 0;
    const uint8_t* data = nullptr;
    uint32_t size = 0;
};

bool ParseWriteBlock(const uint8_t* block, uint32_t usedLength, std::vector<WriteEntry>* entries) {
    uint32_t pos = 0;
    while (pos < usedLength && block[pos] != '\0') {
        const void* end = std::memchr(block + pos, '\0', usedLength - pos);
        if (!end) return false;
        WriteEntry entry;
        uint32_t nameLength =
            static_cast<uint32_t>(static_cast<const uint8_t*>(end) - (block + pos));
        entry.name.assign(reinterpret_cast<const char*>(block + pos), nameLength);
        pos += nameLength + 1;
        if (usedLength - pos < product::kWriteEntryFixedSize) return false;
        entry.type = Load32(block + pos);
        entry.size = Load32(block + pos + 4);
        pos += product::kWriteEntryFixedSize;
        if (entry.size > usedLength - pos) return false;
        entry.data = block + pos;
        pos += entry.size;
        entries->push_back(entry);
    }
    return true;
}

Status OpenServerKey(const ServerCall& call, const char* keyPath, REGSAM access, RegKey* key) {
    std::string path = call.keyPathUnderRoot(keyPath);
    LONG status = RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, access, key->put());
    return status == ERROR_SUCCESS ? 0 : static_cast<Status>(status);
}

bool Shared(const ServerCall& call) { return !call.sharedRoot().empty(); }

std::string SharedKey(const ServerCall& call, const char* keyPath) {
    return labproduct::shared::KeyFolder(call.sharedRoot(), keyPath ? keyPath : "");
}

// A server's key as the listings walk it, by index, from either home.
class ListedKey {
public:
    Status open(const ServerCall& call, const char* keyPath, bool values) {
        if (!Shared(call)) return OpenServerKey(call, keyPath, KEY_READ, &key_);
        shared_ = true;
        std::string folder = SharedKey(call, keyPath);
        if (!labproduct::shared::KeyExists(folder)) return product::kNotFound;
        return static_cast<Status>(values ? labproduct::shared::ListValues(folder, &values_)
                                          : labproduct::shared::ListSubKeys(folder, &subKeys_));
    }
    LONG subKeyAt(DWORD index, std::string* name) {
        if (shared_) {
            if (index >= subKeys_.size()) return ERROR_NO_MORE_ITEMS;
            *name = subKeys_[index];
            return ERROR_SUCCESS;
        }
        char text[256];
        DWORD length = sizeof text;
        LONG status =
            RegEnumKeyExA(key_.get(), index, text, &length, nullptr, nullptr, nullptr, nullptr);
        if (status == ERROR_SUCCESS) name->assign(text, length);
        return status;
    }
    LONG valueAt(DWORD index, labproduct::shared::StoredValue* value) {
        if (shared_) {
            if (index >= values_.size()) return ERROR_NO_MORE_ITEMS;
            *value = values_[index];
            return ERROR_SUCCESS;
        }
        if (!sized_) {
            DWORD longestName = 0, longestData = 0;
            if (LONG status = RegQueryInfoKeyA(key_.get(), nullptr, nullptr, nullptr, nullptr,
                                               nullptr, nullptr, nullptr, &longestName,
                                               &longestData, nullptr, nullptr))
                return status;
            name_.resize(longestName + 2);
            data_.resize(longestData + 1);
            sized_ = true;
        }
        DWORD nameLength = static_cast<DWORD>(name_.size());
        DWORD dataSize = static_cast<DWORD>(data_.size());
        LONG status = RegEnumValueA(key_.get(), index, name_.data(), &nameLength, nullptr,
                                    &value->type, data_.data(), &dataSize);
        if (status == ERROR_SUCCESS) {
            value->name.assign(name_.data(), nameLength);
            value->data.assign(data_.begin(), data_.begin() + dataSize);
        }
        return status;
    }

private:
    bool shared_ = false;
    RegKey key_;
    std::vector<std::string> subKeys_;
    std::vector<labproduct::shared::StoredValue> values_;
    bool sized_ = false;
    std::vector<char> name_;
    std::vector<uint8_t> data_;
};

}  // namespace

extern "C" {

Status WINAPI ReadServerValues(const char* server, const char* keyPath, uint8_t* block,
                               uint32_t capacity, uint32_t* count) {
    if (!block || !count) return ERROR_INVALID_PARAMETER;
    if (capacity == 0) capacity = product::kListBlockSize;
    std::vector<std::string> names;
    if (!RequestedNames(block, capacity, *count, &names)) return ERROR_INVALID_PARAMETER;

    ServerCall call(server, "ReadServerValues", keyPath, JoinNames(names).c_str());
    if (Status refusal = call.refusal()) return refusal;
    for (const std::string& name : names)
        if (call.failsRead(name.c_str())) return call.failReadStatus();

    // A server that publishes nothing under a name answers with an empty value
    // (length 0, type REG_NONE): that is how a search learns that a level ends.
    RegKey key;
    Status keyStatus = Shared(call) ? 0 : OpenServerKey(call, keyPath, KEY_QUERY_VALUE, &key);
    if (keyStatus && keyStatus != product::kNotFound) return keyStatus;
    std::string sharedKey = Shared(call) ? SharedKey(call, keyPath) : std::string();

    // Built aside and copied at the end, so a failing read leaves the request intact.
    std::vector<uint8_t> reply(capacity, 0);
    labproduct::ReplyLayout layout;
    uint32_t pos = 0;
    for (const std::string& name : names) {
        DWORD type = 0;
        std::vector<uint8_t> data;
        LONG status = Shared(call) ? labproduct::shared::ReadValue(sharedKey, name, &type, &data)
                      : key      ? QueryValue(key.get(), name.c_str(), &type, &data)
                                 : static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        if (status == ERROR_FILE_NOT_FOUND) {
            type = REG_NONE;
            data.clear();
            if (call.answersEveryLevel() && IsListValue(name)) {
                type = REG_SZ;
                data.assign(call.endlessList().begin(), call.endlessList().end());
                data.push_back('\0');
            }
        } else if (status) {
            return status;
        }
        if (capacity - pos < product::kReplyHeaderSize + product::kReplyTypeSize)
            return ERROR_MORE_DATA;
        uint32_t room = capacity - pos - product::kReplyHeaderSize - product::kReplyTypeSize;
        uint32_t length = static_cast<uint32_t>(data.size());
        if (length > room) length = room;
        if (length > 0xFFFF) length = 0xFFFF;
        uint16_t told = static_cast<uint16_t>(call.lieLength() ? call.lieLength() : length);
        Store16(reply.data() + pos, told);
        std::memcpy(reply.data() + pos + product::kReplyHeaderSize, data.data(), length);
        layout.dataOffsets.push_back(pos + product::kReplyHeaderSize);
        pos += product::kReplyHeaderSize + length;
        Store16(reply.data() + pos, static_cast<uint16_t>(type));
        layout.typeOffsets.push_back(pos);
        pos += product::kReplyTypeSize;
    }
    std::memcpy(block, reply.data(), pos);
    labproduct::RememberReply(block, std::move(layout));
    return 0;
}

uint8_t* WINAPI GetValueBlockData(uint8_t* block, uint32_t index, uint16_t* type) {
    if (!block) return nullptr;
    labproduct::ReplyLayout layout;
    if (labproduct::RecallReply(block, &layout) && index < layout.dataOffsets.size()) {
        if (type) *type = Load16(block + layout.typeOffsets[index]);
        return block + layout.dataOffsets[index];
    }
    // A block this library did not fill: walk it by its length fields.
    uint32_t pos = 0;
    for (uint32_t i = 0; i < index; ++i)
        pos += product::kReplyHeaderSize + Load16(block + pos) + product::kReplyTypeSize;
    uint16_t length = Load16(block + pos);
    if (type) *type = Load16(block + pos + product::kReplyHeaderSize + length);
    return block + pos + product::kReplyHeaderSize;
}

Status WINAPI AddValueToBlock(uint8_t* block, const char* name, uint32_t type, uint32_t size,
                              const void* data, uint32_t* usedLength) {
    if (!block || !name || !*name || (size && !data)) return ERROR_INVALID_PARAMETER;
    // The block is zero-filled, so the first empty name marks its end.
    uint32_t pos = 0;
    while (block[pos] != '\0') {
        pos += static_cast<uint32_t>(std::strlen(reinterpret_cast<char*>(block + pos))) + 1;
        uint32_t entrySize = Load32(block + pos + 4);
        pos += product::kWriteEntryFixedSize + entrySize;
    }
    size_t nameLength = std::strlen(name);
    std::memcpy(block + pos, name, nameLength + 1);
    pos += static_cast<uint32_t>(nameLength) + 1;
    Store32(block + pos, type);
    Store32(block + pos + 4, size);
    pos += product::kWriteEntryFixedSize;
    if (size) std::memcpy(block + pos, data, size);
    pos += size;
    if (usedLength) *usedLength = pos;
    return 0;
}

Status WINAPI WriteServerValues(const char* server, const char* keyPath, uint32_t valueCount,
                                const uint8_t* block, uint32_t usedLength) {
    std::vector<WriteEntry> entries;
    bool wellFormed = block && ParseWriteBlock(block, usedLength, &entries);
    std::vector<std::string> names;
    for (const WriteEntry& entry : entries) names.push_back(entry.name);

    ServerCall call(server, "WriteServerValues", keyPath, JoinNames(names).c_str());
    if (Status refusal = call.refusal()) return refusal;
    if (call.failWrite()) return call.failWrite();
    if (!wellFormed || entries.empty()) return ERROR_INVALID_PARAMETER;

    // The count the caller passes is not trusted: every value in the block is
    // written (the import sends two values with a count of one).
    if (Shared(call)) {
        std::string folder = SharedKey(call, keyPath);
        for (const WriteEntry& entry : entries)
            if (LONG status = labproduct::shared::WriteValue(folder, entry.name, entry.type,
                                                             entry.data, entry.size))
                return static_cast<Status>(status);
        if (labproduct::shared::TouchesClients(keyPath ? keyPath : ""))
            labproduct::shared::PublishClientCount(call.sharedRoot());
        return 0;
    }
    RegKey key;
    std::string path = call.keyPathUnderRoot(keyPath);
    if (LONG status = RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                      KEY_SET_VALUE, nullptr, key.put(), nullptr))
        return static_cast<Status>(status);
    for (const WriteEntry& entry : entries) {
        if (LONG status = RegSetValueExA(key.get(), entry.name.c_str(), 0, entry.type,
                                         entry.data, entry.size))
            return static_cast<Status>(status);
    }
    return 0;
}

Status WINAPI DeleteServerValue(const char* server, const char* keyPath, const char* name) {
    ServerCall call(server, "DeleteServerValue", keyPath, name);
    if (Status refusal = call.refusal()) return refusal;
    if (call.failWrite()) return call.failWrite();
    if (!name || !*name) return ERROR_INVALID_PARAMETER;
    if (Shared(call))
        return static_cast<Status>(labproduct::shared::DeleteValue(SharedKey(call, keyPath), name));
    RegKey key;
    if (Status status = OpenServerKey(call, keyPath, KEY_SET_VALUE, &key)) return status;
    return static_cast<Status>(RegDeleteValueA(key.get(), name));
}

Status WINAPI DeleteServerKey(const char* server, const char* keyPath) {
    ServerCall call(server, "DeleteServerKey", keyPath, nullptr);
    if (Status refusal = call.refusal()) return refusal;
    if (call.failWrite()) return call.failWrite();
    // The product root itself is not the caller's to delete.
    if (!keyPath || !*keyPath) return ERROR_ACCESS_DENIED;
    if (Shared(call)) {
        std::string folder = SharedKey(call, keyPath);
        if (!labproduct::shared::KeyExists(folder)) return product::kNotFound;
        Status status = static_cast<Status>(labproduct::shared::DeleteKey(folder));
        if (labproduct::shared::TouchesClients(keyPath))
            labproduct::shared::PublishClientCount(call.sharedRoot());
        return status;
    }
    RegKey root;
    if (Status status = OpenServerKey(call, "", KEY_ALL_ACCESS, &root)) return status;
    return static_cast<Status>(SHDeleteKeyA(root.get(), keyPath));
}

Status WINAPI EnumServerSubKeys(const char* server, const char* keyPath, char* listing,
                                uint32_t listingSize, uint32_t* more, uint32_t* count) {
    if (more) *more = 0;
    if (count) *count = 0;
    if (!listing || !more || !count || listingSize == 0) return ERROR_INVALID_PARAMETER;
    ServerCall call(server, "EnumServerSubKeys", keyPath, nullptr);
    if (Status refusal = call.refusal()) {
        labproduct::EndListing(kSubKeyListing, server, keyPath);
        return refusal;
    }
    if (call.emptyMore()) {
        *more = 1;
        return 0;
    }
    ListedKey key;
    if (Status status = key.open(call, keyPath, false)) {
        labproduct::EndListing(kSubKeyListing, server, keyPath);
        return status;
    }
    DWORD index = labproduct::ListingCursor(kSubKeyListing, server, keyPath);
    uint32_t used = 0;
    for (;; ++index) {
        std::string name;
        LONG status = key.subKeyAt(index, &name);
        uint32_t nameLength = static_cast<uint32_t>(name.size());
        if (status == ERROR_NO_MORE_ITEMS) break;
        if (status != ERROR_SUCCESS) {
            labproduct::EndListing(kSubKeyListing, server, keyPath);
            return static_cast<Status>(status);
        }
        if (nameLength + 1 > listingSize - used) {
            // Not even one name fits: say so rather than "more" forever.
            if (used == 0) {
                labproduct::EndListing(kSubKeyListing, server, keyPath);
                return ERROR_MORE_DATA;
            }
            *more = 1;
            labproduct::SetListingCursor(kSubKeyListing, server, keyPath, index);
            return 0;
        }
        std::memcpy(listing + used, name.c_str(), nameLength + 1);
        used += nameLength + 1;
        ++*count;
    }
    labproduct::EndListing(kSubKeyListing, server, keyPath);
    return 0;
}

Status WINAPI EnumServerValues(const char* server, const char* keyPath, char* listing,
                               uint32_t listingSize, uint32_t* more, uint32_t* count) {
    if (more) *more = 0;
    if (count) *count = 0;
    if (!listing || !more || !count || listingSize == 0) return ERROR_INVALID_PARAMETER;
    ServerCall call(server, "EnumServerValues", keyPath, nullptr);
    if (Status refusal = call.refusal()) {
        labproduct::EndListing(kValueListing, server, keyPath);
        return refusal;
    }
    if (call.emptyMore()) {
        *more = 1;
        return 0;
    }
    ListedKey key;
    if (Status status = key.open(call, keyPath, true)) {
        labproduct::EndListing(kValueListing, server, keyPath);
        return status;
    }
    DWORD index = labproduct::ListingCursor(kValueListing, server, keyPath);
    uint32_t used = 0;
    for (;; ++index) {
        labproduct::shared::StoredValue value;
        LONG result = key.valueAt(index, &value);
        uint32_t nameLength = static_cast<uint32_t>(value.name.size());
        uint32_t dataSize = static_cast<uint32_t>(value.data.size());
        DWORD type = value.type;
        if (result == ERROR_NO_MORE_ITEMS) break;
        if (result != ERROR_SUCCESS) {
            labproduct::EndListing(kValueListing, server, keyPath);
            return static_cast<Status>(result);
        }
        uint32_t fixed = nameLength + 1 + product::kWriteEntryFixedSize;
        if (fixed + dataSize > listingSize - used) {
            if (used > 0) {
                *more = 1;
                labproduct::SetListingCursor(kValueListing, server, keyPath, index);
                return 0;
            }
            // One value larger than the whole listing: its data is cut so the
            // walk can go on instead of asking for the same entry forever.
            if (fixed > listingSize) continue;
            dataSize = listingSize - fixed;
        }
        uint8_t* entry = reinterpret_cast<uint8_t*>(listing) + used;
        std::memcpy(entry, value.name.c_str(), nameLength + 1);
        Store32(entry + nameLength + 1, type);
        Store32(entry + nameLength + 5, dataSize);
        std::memcpy(entry + fixed, value.data.data(), dataSize);
        used += fixed + dataSize;
        ++*count;
    }
    labproduct::EndListing(kValueListing, server, keyPath);
    return 0;
}

const char* WINAPI UnpackValueEntry(const char* cursor, char* name, uint32_t* type,
                                    uint8_t* data, uint32_t* size) {
    if (!cursor) return nullptr;
    size_t nameLength = std::strlen(cursor);
    const uint8_t* fixed = reinterpret_cast<const uint8_t*>(cursor) + nameLength + 1;
    uint32_t entryType = Load32(fixed);
    uint32_t entrySize = Load32(fixed + 4);
    if (name) CopyText(name, product::kEntryNameSize, std::string_view(cursor, nameLength));
    if (type) *type = entryType;
    if (size) {
        uint32_t copied = entrySize < *size ? entrySize : *size;
        if (data && copied) std::memcpy(data, fixed + product::kWriteEntryFixedSize, copied);
        *size = data ? copied : 0;
    }
    return reinterpret_cast<const char*>(fixed + product::kWriteEntryFixedSize + entrySize);
}

}  // extern "C"
