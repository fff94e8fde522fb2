#pragma once
// The product library as this program relies on it: ordinals, argument lists,
// value-block layout and statuses. The lab's stand-in library compiles against
// this same header; nothing else of the library is assumed anywhere.

#include <windows.h>
#include <unknwn.h>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace product {

// ---- Statuses ---------------------------------------------------------------
using Status = uint32_t;
constexpr Status kOk = 0;
constexpr Status kNotFound = 2;                      // no such key or value
constexpr Status kLibraryUnavailable = 0x20000000;   // library or entry point missing
constexpr Status kOutOfMemory = 0x20000002;
constexpr Status kProductRootUnavailable = 0x2000000D;
constexpr Status kFolderServiceFailed = 0x2000001B;
constexpr Status kOperationMissing = 0x2000002B;     // stub for optional ordinals
// Statuses the product reports when a server cannot be reached.
constexpr Status kCommTimeout = 0x40000010;
constexpr Status kCommRefused = 0x4000000C;
constexpr Status kCommNoRoute = 0x20000005;
constexpr Status kCommLost = 0x20000023;
constexpr Status kSessionRefused = 0x40000001;       // wrong caller code

// ---- Sizes ------------------------------------------------------------------
constexpr uint32_t kListBlockSize = 984;     // a list value and listings
constexpr uint32_t kSingleBlockSize = 128;   // one small value (a DWORD)
constexpr uint32_t kListingSize = 984;       // EnumServerSubKeys / EnumServerValues
constexpr uint32_t kEntryNameSize = 384;     // UnpackValueEntry name and data buffers
constexpr uint32_t kEntryDataSize = 384;

// ---- Value block ------------------------------------------------------------
// Request (ReadServerValues): the wanted names, each NUL-terminated, an empty
// name ends the list.
// Reply (ReadServerValues, success): for each value, a 16-bit data length, the
// data bytes, then the 16-bit registry type. The first value's data therefore
// starts at byte 2. The library never writes past the capacity it is given.
// Write block (AddValueToBlock / WriteServerValues): for each value its name
// (NUL-terminated), 32-bit type, 32-bit size, then the data bytes; the block is
// zero-filled first, so an empty name ends it.
constexpr uint32_t kReplyHeaderSize = 2;          // the 16-bit length
constexpr uint32_t kReplyTypeSize = 2;            // the 16-bit type after the data
constexpr uint32_t kWriteEntryFixedSize = 4 + 4;  // type and size after the name
// The most of a list one read reply carries: a search copies no more of it.
constexpr uint32_t kReplyListSize = kListBlockSize - kReplyHeaderSize;

static_assert(kListBlockSize == 984 && kListingSize == 984 && kSingleBlockSize == 128,
              "the library fills and reads blocks of exactly these sizes");
static_assert(kEntryNameSize == 384 && kEntryDataSize == 384,
              "UnpackValueEntry writes up to 384 bytes into each buffer");
static_assert(kReplyHeaderSize == sizeof(uint16_t) && kReplyTypeSize == sizeof(uint16_t));

// Bytes one value takes in a write block: name with its NUL, type, size, data.
constexpr uint32_t WriteEntrySize(uint32_t nameLength, uint32_t dataSize) {
    return nameLength + 1 + kWriteEntryFixedSize + dataSize;
}

// Packed listing entry (EnumServerValues): name (NUL-terminated), 32-bit type,
// 32-bit size, data bytes.

// ---- Alert record -----------------------------------------------------------
// Handed to the alert callbacks. The twelfth field is the virus name.
struct AlertRecord {
    uint32_t fields[11];
    const char* virusName;
};
using AlertCallback = uint32_t(WINAPI*)(const AlertRecord* record);

// The shipped program is 32-bit, and so is the library: the record is twelve
// 32-bit fields there. The 64-bit twin only talks to the lab's stand-in,
// which is built from this header with the same widths.
#if defined(__i386__)
static_assert(sizeof(void*) == 4, "the shipped program is a 32-bit one");
static_assert(offsetof(AlertRecord, virusName) == 11 * 4 && sizeof(AlertRecord) == 12 * 4,
              "the virus name is the twelfth 32-bit field");
#endif

// ---- Caller code ------------------------------------------------------------
// The code presented at the start of a session: whole minutes since 1970 XOR
// this constant. The library accepts a code within two minutes of its clock.
constexpr uint32_t kCallerCodeKey = 0x5EC0DE42u;

// ---- Operations by ordinal --------------------------------------------------
enum Ordinal : WORD {
    kOrdEnumServerSubKeys = 108,
    kOrdEnumServerValues = 109,
    kOrdDeleteServerKey = 110,
    kOrdWriteServerValues = 111,
    kOrdReadServerValues = 125,
    kOrdRegisterAlertCallbacks = 127,
    kOrdGetDwordValue = 129,
    kOrdAddValueToBlock = 138,
    kOrdGetValueBlockData = 139,
    kOrdUnregisterAlertCallbacks = 140,
    kOrdUnpackValueEntry = 148,
    kOrdDeleteServerValue = 156,
    kOrdPresentCallerCode = 161,
    kOrdRemoteFileCopy = 176,
    kOrdOptionalFirst = 203,
    kOrdOptionalSecond = 204,
};

// Ordinals the program binds but never calls.
constexpr WORD kUncalledOrdinals[] = {103, 104, 105, 107, 112, 113, 115, 118, 122,
                                      123, 126, 128, 131, 136, 146, 149, 150, 153,
                                      157, 162, 166, 167, 171, 172, 175, 200, 201};

// server, key path (relative to the product root on that server, "" = root),
// listing buffer, its size, more-flag out, entry count out.
using EnumServerSubKeysFn = Status(WINAPI*)(const char* server, const char* keyPath,
                                            char* listing, uint32_t listingSize,
                                            uint32_t* more, uint32_t* count);
using EnumServerValuesFn = EnumServerSubKeysFn;
// cursor into a value listing; name out (384), type out, data out, size in/out.
// Returns the cursor of the next entry.
using UnpackValueEntryFn = const char*(WINAPI*)(const char* cursor, char* name,
                                                uint32_t* type, uint8_t* data,
                                                uint32_t* size);
// server, key path, block with the wanted names, block capacity (0 = the full
// 984-byte list block), value count in.
using ReadServerValuesFn = Status(WINAPI*)(const char* server, const char* keyPath,
                                           uint8_t* block, uint32_t capacity,
                                           uint32_t* count);
using GetValueBlockDataFn = uint8_t*(WINAPI*)(uint8_t* block, uint32_t index,
                                              uint16_t* type);
// Appends one value to a zero-filled write block; usedLength receives the
// block's used length afterwards. The caller makes sure the value fits.
using AddValueToBlockFn = Status(WINAPI*)(uint8_t* block, const char* name, uint32_t type,
                                          uint32_t size, const void* data,
                                          uint32_t* usedLength);
using WriteServerValuesFn = Status(WINAPI*)(const char* server, const char* keyPath,
                                            uint32_t valueCount, const uint8_t* block,
                                            uint32_t usedLength);
using DeleteServerValueFn = Status(WINAPI*)(const char* server, const char* keyPath,
                                            const char* name);
using DeleteServerKeyFn = Status(WINAPI*)(const char* server, const char* keyPath);
using GetDwordValueFn = DWORD(WINAPI*)(HKEY key, const char* name, DWORD defaultValue);
// server, remote path ("$\..." under the server's product directory), flags,
// local path, overwrite.
using RemoteFileCopyFn = Status(WINAPI*)(const char* server, const char* remotePath,
                                         uint32_t flags, const char* localPath,
                                         uint32_t overwrite);
using PresentCallerCodeFn = Status(WINAPI*)(uint32_t code);
using RegisterAlertCallbacksFn = HANDLE(WINAPI*)(AlertCallback first, AlertCallback second);
using UnregisterAlertCallbacksFn = Status(WINAPI*)(HANDLE handle);
using UncalledFn = Status(WINAPI*)();

// Every entry point of the library, and every callback handed to it, uses the
// Windows API convention (the callee removes its arguments): it is the
// convention of the system's own libraries that the product's library sits
// beside, and the one under which a call by ordinal through GetProcAddress is
// usual. Only the 32-bit build has more than one convention, and there a
// type declared without it would compile and then unbalance the stack on
// every call; these checks make such a slip fail to compile instead.
template <typename Function>
struct UsesLibraryConvention : std::false_type {};
template <typename Result, typename... Arguments>
struct UsesLibraryConvention<Result(WINAPI*)(Arguments...)> : std::true_type {};

static_assert(UsesLibraryConvention<EnumServerSubKeysFn>::value &&
              UsesLibraryConvention<EnumServerValuesFn>::value &&
              UsesLibraryConvention<UnpackValueEntryFn>::value &&
              UsesLibraryConvention<ReadServerValuesFn>::value &&
              UsesLibraryConvention<GetValueBlockDataFn>::value &&
              UsesLibraryConvention<AddValueToBlockFn>::value &&
              UsesLibraryConvention<WriteServerValuesFn>::value &&
              UsesLibraryConvention<DeleteServerValueFn>::value &&
              UsesLibraryConvention<DeleteServerKeyFn>::value &&
              UsesLibraryConvention<GetDwordValueFn>::value &&
              UsesLibraryConvention<RemoteFileCopyFn>::value &&
              UsesLibraryConvention<PresentCallerCodeFn>::value &&
              UsesLibraryConvention<RegisterAlertCallbacksFn>::value &&
              UsesLibraryConvention<UnregisterAlertCallbacksFn>::value &&
              UsesLibraryConvention<UncalledFn>::value &&
              UsesLibraryConvention<AlertCallback>::value,
              "an entry point of the library is declared without WINAPI");

// The CLSID under which the library registers its path.
constexpr const char kLibraryClsidKey[] =
    "CLSID\\{6B2D94C7-3A1F-4E85-9C20-D17E5A0B3F48}\\InProcServer32";
// The product's control object (Windows 9x start and stop).
constexpr CLSID kControlObjectClsid = {
    0x2F7A6C31, 0x8E4B, 0x4D19, {0xB5, 0xA0, 0x6C, 0x3E, 0x9D, 0x17, 0xF8, 0x42}};
constexpr IID kControlObjectIid = {
    0x2F7A6C32, 0x8E4B, 0x4D19, {0xB5, 0xA0, 0x6C, 0x3E, 0x9D, 0x17, 0xF8, 0x42}};

// The control object's interface: IUnknown's three methods, four the program
// never calls, then StartProduct and StopProduct in table slots 7 and 8
// (counting from 0). Program and lab both compile this header, so only the
// layout here keeps the program's calls on the product's own slots.
struct IProductControl : public IUnknown {
    virtual HRESULT STDMETHODCALLTYPE Reserved1() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved2() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved3() = 0;
    virtual HRESULT STDMETHODCALLTYPE Reserved4() = 0;
    virtual HRESULT STDMETHODCALLTYPE StartProduct() = 0;
    virtual HRESULT STDMETHODCALLTYPE StopProduct() = 0;
};

template <typename Method>
struct IsComMethod : std::false_type {};
template <typename Object, typename Result>
struct IsComMethod<Result (STDMETHODCALLTYPE Object::*)()> : std::true_type {};
static_assert(IsComMethod<decltype(&IProductControl::Reserved1)>::value &&
              IsComMethod<decltype(&IProductControl::Reserved2)>::value &&
              IsComMethod<decltype(&IProductControl::Reserved3)>::value &&
              IsComMethod<decltype(&IProductControl::Reserved4)>::value &&
              IsComMethod<decltype(&IProductControl::StartProduct)>::value &&
              IsComMethod<decltype(&IProductControl::StopProduct)>::value,
              "a method of the control object is declared without STDMETHODCALLTYPE");

}  // namespace product
