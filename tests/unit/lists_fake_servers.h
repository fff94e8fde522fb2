#pragma once
// A few servers held in memory behind the bound product table, for the import
// and export tests: values per server, servers that fail with a status, and
// every write call as it arrived.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "common/handles.h"
#include "common/text.h"
#include "output/output.h"
#include "product/product_interface.h"
#include "product/product_library.h"

namespace listsfake {

struct Server {
    std::map<std::string, std::string> values;  // ProductControl, text without NUL
    product::Status failure = 0;                // every call gives this when set
};

struct WriteCall {
    std::string server;
    std::string keyPath;
    uint32_t valueCount;
    std::vector<std::pair<std::string, std::string>> values;  // name, bytes incl. NUL
};

inline std::map<std::string, Server> Servers;
inline std::vector<WriteCall> Writes;
inline std::vector<std::string> Probes;  // "server valueName", in order
// Servers not in the map do not answer.
constexpr product::Status kNoAnswer = product::kCommTimeout;

inline Server* Find(const char* server, product::Status& status) {
    auto it = Servers.find(server);
    if (it == Servers.end()) {
        status = kNoAnswer;
        return nullptr;
    }
    status = it->second.failure;
    return status ? nullptr : &it->second;
}

inline product::Status WINAPI ReadServerValues(const char* server, const char* keyPath,
                                               uint8_t* block, uint32_t, uint32_t*) {
    std::string name(reinterpret_cast<char*>(block));
    Probes.push_back(std::string(server) + " " + name);
    product::Status status;
    Server* found = Find(server, status);
    if (!found) return status;
    if (std::string(keyPath) != "ProductControl") return product::kNotFound;
    auto value = found->values.find(name);
    if (value == found->values.end()) return product::kNotFound;
    std::memset(block, 0, product::kListBlockSize);
    uint16_t length = static_cast<uint16_t>(value->second.size() + 1);
    std::memcpy(block, &length, sizeof length);
    std::memcpy(block + 2, value->second.c_str(), length);
    return 0;
}

// Walks the entries already in a zero-filled write block.
inline uint32_t BlockEnd(const uint8_t* block) {
    uint32_t at = 0;
    while (at < product::kListBlockSize && block[at]) {
        at += static_cast<uint32_t>(std::strlen(reinterpret_cast<const char*>(block + at))) + 1;
        uint32_t size;
        std::memcpy(&size, block + at + 4, 4);
        at += 8 + size;
    }
    return at;
}

inline product::Status WINAPI AddValueToBlock(uint8_t* block, const char* name, uint32_t type,
                                              uint32_t size, const void* data,
                                              uint32_t* used) {
    uint32_t at = BlockEnd(block);
    uint32_t length = static_cast<uint32_t>(std::strlen(name));
    // The program promises the value fits; the fake holds it to that.
    EXPECT_LT(at + product::WriteEntrySize(length, size), product::kListBlockSize);
    if (at + product::WriteEntrySize(length, size) >= product::kListBlockSize) return 0x7A;
    std::memcpy(block + at, name, length + 1);
    at += length + 1;
    std::memcpy(block + at, &type, 4);
    std::memcpy(block + at + 4, &size, 4);
    std::memcpy(block + at + 8, data, size);
    *used = at + 8 + size;
    return 0;
}

inline product::Status WINAPI WriteServerValues(const char* server, const char* keyPath,
                                                uint32_t valueCount, const uint8_t* block,
                                                uint32_t used) {
    WriteCall call{server, keyPath, valueCount, {}};
    for (uint32_t at = 0; at < used && block[at];) {
        std::string name(reinterpret_cast<const char*>(block + at));
        at += static_cast<uint32_t>(name.size()) + 1;
        uint32_t size;
        std::memcpy(&size, block + at + 4, 4);
        call.values.emplace_back(name, std::string(reinterpret_cast<const char*>(block + at + 8), size));
        at += 8 + size;
    }
    Writes.push_back(call);
    product::Status status;
    Server* found = Find(server, status);
    if (!found) return status;
    for (auto& [name, bytes] : call.values)
        found->values[name] = bytes.substr(0, bytes.find('\0'));
    return 0;
}

inline product::Status WINAPI DeleteServerValue(const char* server, const char*,
                                                const char* name) {
    product::Status status;
    Server* found = Find(server, status);
    if (!found) return status;
    return found->values.erase(name) ? 0 : product::kNotFound;
}

// Puts the fake in the bound table for one test and restores the table after.
class FakeLibrary {
public:
    FakeLibrary() : saved_(Product), savedDetail_(ShowDetail) {
        Servers.clear();
        Writes.clear();
        Probes.clear();
        Product = ProductLibrary{};
        Product.ReadServerValues = ReadServerValues;
        Product.AddValueToBlock = AddValueToBlock;
        Product.WriteServerValues = WriteServerValues;
        Product.DeleteServerValue = DeleteServerValue;
        ShowDetail = 1;
    }
    ~FakeLibrary() {
        Product = saved_;
        ShowDetail = savedDetail_;
    }
    FakeLibrary(const FakeLibrary&) = delete;
    FakeLibrary& operator=(const FakeLibrary&) = delete;

private:
    ProductLibrary saved_;
    LONG savedDetail_;
};

// A message of the string table formatted with its arguments; fails the test
// when the table does not hold it, so that two empty texts never compare equal.
template <typename... Args>
std::string Msg(unsigned id, Args... args) {
    char format[kTextSize];
    LoadMessage(id, format);
    EXPECT_NE(format[0], '\0') << "message " << id << " is missing";
    if constexpr (sizeof...(args) == 0) {
        return format;
    } else {
        char text[4 * kTextSize];
        FormatText(text, sizeof text, format, args...);
        return text;
    }
}

// Standard output of a piece of code, line ends as the program wrote them
// before text mode: CR LF back to LF.
template <typename Body>
std::string CaptureOutput(Body body) {
    testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    std::string out = testing::internal::GetCapturedStdout();
    std::string lf;
    for (size_t i = 0; i < out.size(); ++i)
        if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) lf += out[i];
    return lf;
}

}  // namespace listsfake

constexpr char kControl[] = "SOFTWARE\\Tarvo\\Kelvane\\Fendwall6\\CurrentVersion\\ProductControl";

// Every list value of this machine, so a test starts and ends without any.
// Leaves the product's ProductControl key in place, as every machine with the
// product has it, without a list: a test run alone finds what it would find
// after the others.
inline void RemoveLocalLists() {
    RegKey key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, kControl, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        key.put(), nullptr))
        return;
    char name[16384];
    for (DWORD index = 0;;) {
        DWORD size = sizeof name;
        if (RegEnumValueA(key.get(), index, name, &size, nullptr, nullptr, nullptr, nullptr))
            break;
        if (std::string_view(name).substr(0, 12) == "RoamManaging")
            RegDeleteValueA(key.get(), name);
        else
            ++index;
    }
}
